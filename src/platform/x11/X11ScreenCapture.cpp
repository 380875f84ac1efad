#include "platform/x11/X11ScreenCapture.hpp"

#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11Image.hpp"
#include "platform/x11/X11Windows.hpp"

namespace {

// A configuration asking for more than this many pixels is refused rather than allocated.
constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;

} // namespace

X11ScreenCapture::X11ScreenCapture(X11Connection& connection)
    : connection_(connection), worker_("com.velmar.computer-use.x11")
{
}

ShareableContent X11ScreenCapture::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly)
{
    return connection_.run([&](X11Session& session) {
        X11DisplayLayout layout = x11DisplayLayout(session);
        ShareableContent content;
        for (const auto& monitor : layout.monitors)
            content.displays.push_back({monitor.id, monitor.width, monitor.height});
        content.windows = x11Windows(session, layout, onScreenWindowsOnly, excludingDesktopWindows);
        return content;
    });
}

ShareableContent X11ScreenCapture::shareableDisplays()
{
    return connection_.run([&](X11Session& session) {
        ShareableContent content;
        for (const auto& monitor : x11DisplayLayout(session).monitors)
            content.displays.push_back({monitor.id, monitor.width, monitor.height});
        return content;
    });
}

Image X11ScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    if (configuration.width < 0 || configuration.height < 0
        || (configuration.height > 0 && configuration.width > largestPicture / configuration.height))
        throw PlatformError("X11", 0,
                            "a picture of " + std::to_string(configuration.width) + " x "
                                + std::to_string(configuration.height) + " pixels is too large");
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw PlatformError("X11", 0, "only BGRA pictures are made");
    Image image = connection_.run([&](X11Session& session) {
        if (filter.kind == ContentFilter::Kind::display) {
            X11DisplayLayout layout = x11DisplayLayout(session);
            const X11Monitor* monitor = layout.find(filter.id);
            if (!monitor)
                throw PlatformError("X11", 0, "display " + std::to_string(filter.id) + " is not connected");
            Image picture = x11ReadImage(session, session.root, monitor->x, monitor->y, monitor->width, monitor->height);
            if (configuration.showsCursor)
                x11DrawCursor(session, picture, monitor->x, monitor->y);
            return picture;
        }
        X11WindowPicture picture = x11ReadWindow(session, filter.id);
        if (configuration.showsCursor)
            x11DrawCursor(session, picture.image, picture.rootX, picture.rootY);
        return std::move(picture.image);
    });
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    if (width > 0 && height > 0 && (width != image.width || height != image.height))
        return resampleNearest(image, width, height);
    return image;
}

void X11ScreenCapture::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                           ContentCompletion completion)
{
    worker_.async([this, excludingDesktopWindows, onScreenWindowsOnly, completion = std::move(completion)] {
        std::optional<ShareableContent> content;
        std::optional<PlatformError> failure;
        try {
            content = shareableContent(excludingDesktopWindows, onScreenWindowsOnly);
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "X11");
        }
        completion(std::move(content), std::move(failure));
    });
}

void X11ScreenCapture::getShareableDisplays(ContentCompletion completion)
{
    worker_.async([this, completion = std::move(completion)] {
        std::optional<ShareableContent> content;
        std::optional<PlatformError> failure;
        try {
            content = shareableDisplays();
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "X11");
        }
        completion(std::move(content), std::move(failure));
    });
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
    worker_.async([this, filter, configuration, completion = std::move(completion)] {
        std::optional<Image> image;
        std::optional<PlatformError> failure;
        try {
            image = capture(filter, configuration);
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "X11");
        }
        completion(std::move(image), std::move(failure));
        releaseWhenIdle();
    });
}

void X11ScreenCapture::releaseWhenIdle()
{
    const std::uint64_t picture = ++pictures_;
    worker_.asyncAfter(idleRelease, [this, picture] {
        if (pictures_ == picture) // no picture since
            connection_.releaseSharedMemory();
    });
}
