#include "platform/x11/X11ScreenCapture.hpp"

#include "platform/WorkerAnswer.hpp"
#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11Image.hpp"
#include "platform/x11/X11Windows.hpp"

#include <utility>

namespace {

// A configuration asking for more than this many pixels is refused rather than allocated.
constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;

ShareableContent displaysOf(const X11DisplayLayout& layout)
{
    ShareableContent content;
    for (const auto& monitor : layout.monitors)
        content.displays.push_back({monitor.id, monitor.width, monitor.height});
    return content;
}

} // namespace

X11ScreenCapture::X11ScreenCapture(X11Connection& connection)
    : connection_(connection), worker_("com.velmar.computer-use.x11")
{
}

ShareableContent X11ScreenCapture::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly)
{
    return connection_.run([&](X11Session& session) {
        const X11DisplayLayout layout = x11DisplayLayout(session);
        ShareableContent content = displaysOf(layout);
        content.windows = x11Windows(session, layout, onScreenWindowsOnly, excludingDesktopWindows);
        return content;
    });
}

ShareableContent X11ScreenCapture::shareableDisplays()
{
    return connection_.run([&](X11Session& session) { return displaysOf(x11DisplayLayout(session)); });
}

Image X11ScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    return captureOver(filter, configuration, Image()).image;
}

RetakenImage X11ScreenCapture::captureOver(const ContentFilter& filter, const StreamConfiguration& configuration,
                                           Image earlier)
{
    if (configuration.width < 0 || configuration.height < 0
        || (configuration.height > 0 && configuration.width > largestPicture / configuration.height))
        throw PlatformError("X11", 0,
                            "a picture of " + std::to_string(configuration.width) + " x "
                                + std::to_string(configuration.height) + " pixels is too large");
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw PlatformError("X11", 0, "only BGRA pictures are made");
    RetakenImage picture{std::move(earlier), {}};
    bool attempted = false;
    connection_.run([&](X11Session& session) {
        // A second attempt (after a reconnect) cannot tell what the first one wrote.
        if (std::exchange(attempted, true))
            picture.image = Image();
        if (filter.kind == ContentFilter::Kind::display) {
            const X11Monitor* monitor = x11DisplayLayout(session).find(filter.id);
            if (!monitor)
                throw PlatformError("X11", 0, "display " + std::to_string(filter.id) + " is not connected");
            const X11Monitor area = *monitor;
            std::optional<X11Pointer> pointer;
            if (configuration.showsCursor)
                pointer = x11Pointer(session, area.x, area.y);
            picture.changedRows = x11ReadImageOver(session, session.root, area.x, area.y, area.width, area.height,
                                                   pointer ? &*pointer : nullptr, picture.image);
            return;
        }
        X11WindowPicture window = x11ReadWindow(session, filter.id);
        if (configuration.showsCursor)
            x11DrawCursor(session, window.image, window.rootX, window.rootY);
        picture.image = std::move(window.image);
        picture.changedRows.clear();
    });
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    if (width > 0 && height > 0 && (width != picture.image.width || height != picture.image.height))
        return {resampleNearest(picture.image, width, height), {}};
    return picture;
}

void X11ScreenCapture::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                           ContentCompletion completion)
{
    answerOnWorker(
        worker_, "X11",
        [this, excludingDesktopWindows, onScreenWindowsOnly] {
            return shareableContent(excludingDesktopWindows, onScreenWindowsOnly);
        },
        std::move(completion));
}

void X11ScreenCapture::getShareableDisplays(ContentCompletion completion)
{
    answerOnWorker(worker_, "X11", [this] { return shareableDisplays(); }, std::move(completion));
}

ContentFilter X11ScreenCapture::filter(const ShareableDisplay& display)
{
    return {ContentFilter::Kind::display, display.displayID, 1.0f};
}

ContentFilter X11ScreenCapture::filter(const ShareableWindow& window)
{
    return {ContentFilter::Kind::window, window.windowID, 1.0f};
}

void X11ScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                    ImageCompletion completion)
{
    answerOnWorker(
        worker_, "X11", [this, filter, configuration] { return capture(filter, configuration); },
        std::move(completion), [this] { releaseWhenIdle(); });
}

void X11ScreenCapture::captureImageOver(const ContentFilter& filter, const StreamConfiguration& configuration,
                                        Image earlier, RetakeCompletion completion)
{
    answerOnWorker(
        worker_, "X11",
        [this, filter, configuration, earlier = std::move(earlier)]() mutable {
            return captureOver(filter, configuration, std::move(earlier));
        },
        std::move(completion), [this] { releaseWhenIdle(); });
}

void X11ScreenCapture::releaseWhenIdle()
{
    const std::uint64_t picture = ++pictures_;
    worker_.asyncAfter(idleRelease, [this, picture] {
        if (pictures_ == picture) // no picture since
            connection_.releaseSharedMemory();
    });
}
