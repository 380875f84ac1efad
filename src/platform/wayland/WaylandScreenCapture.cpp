#include "platform/wayland/WaylandScreenCapture.hpp"

#include "imaging/Parallel.hpp"
#include "imaging/PictureCache.hpp"
#include "platform/WorkerAnswer.hpp"
#include "platform/wayland/WaylandPicture.hpp"
#include "platform/wayland/WaylandWindows.hpp"

namespace {

// A configuration asking for more than this many pixels is refused rather than allocated.
constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;

} // namespace

WaylandScreenCapture::WaylandScreenCapture(WaylandConnection& connection, WaylandScreencopy& screencopy)
    : connection_(connection), screencopy_(screencopy), worker_("com.velmar.computer-use.wayland")
{
}

namespace {

ShareableContent displaysOf(const WaylandLayout& layout)
{
    ShareableContent content;
    for (const auto& output : layout.outputs())
        content.displays.push_back({output.id, output.width, output.height});
    return content;
}

} // namespace

ShareableContent WaylandScreenCapture::shareableContent()
{
    return connection_.run([&](WaylandSession& session) {
        const WaylandLayout layout = session.layout();
        ShareableContent content = displaysOf(layout);
        // Nothing on a Wayland desktop is a desktop window to leave out: its background
        // and panels are layer surfaces, which no window list holds. Windows not shown are
        // listed whatever the caller asks, marked so (see waylandWindows).
        content.windows = waylandWindows(session, layout);
        return content;
    });
}

ShareableContent WaylandScreenCapture::shareableDisplays()
{
    return connection_.run([&](WaylandSession& session) { return displaysOf(session.layout()); });
}

namespace {

void checkConfiguration(const StreamConfiguration& configuration)
{
    if (configuration.width < 0 || configuration.height < 0
        || (configuration.height > 0 && configuration.width > largestPicture / configuration.height))
        throw waylandError("a picture of " + std::to_string(configuration.width) + " x "
                           + std::to_string(configuration.height) + " pixels is too large");
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw waylandError("only BGRA pictures are made");
}

// Whether the picture must be resampled to the size the configuration asks for.
bool resized(const Image& image, const StreamConfiguration& configuration)
{
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    return width > 0 && height > 0 && (width != image.width || height != image.height);
}

constexpr auto reuse = WaylandScreencopy::Reuse::watch;

} // namespace

Image WaylandScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    checkConfiguration(configuration);
    Image image = connection_.run([&](WaylandSession& session) {
        if (filter.kind == ContentFilter::Kind::display)
            return screencopy_.capture(session, filter.id, configuration.showsCursor, reuse);
        return std::move(
            waylandWindowPicture(session, screencopy_, filter.id, configuration.showsCursor, reuse).image);
    });
    if (resized(image, configuration))
        return resampledNearest(image, static_cast<int>(configuration.width), static_cast<int>(configuration.height));
    return image;
}

RetakenImage WaylandScreenCapture::captureOver(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               Image earlier)
{
    if (filter.kind != ContentFilter::Kind::display) {
        Image image = capture(filter, configuration);
        std::vector<std::uint8_t> changed = rowsThatDiffer(earlier, image, usableCores());
        return {std::move(image), std::move(changed)};
    }
    checkConfiguration(configuration);
    RetakenImage picture{std::move(earlier), {}};
    // captureOver writes nothing over the picture until it has the output's, so an attempt
    // made again on a new connection finds it as lent.
    picture.changedRows = connection_.run([&](WaylandSession& session) {
        return screencopy_.captureOver(session, filter.id, configuration.showsCursor, reuse, picture.image,
                                       usableCores());
    });
    if (resized(picture.image, configuration))
        return {resampledNearest(picture.image, static_cast<int>(configuration.width),
                                 static_cast<int>(configuration.height)),
                {}};
    return picture;
}

void WaylandScreenCapture::getShareableContent(bool, bool, ContentCompletion completion)
{
    answerOnWorker(worker_, "Wayland", [this] { return shareableContent(); }, std::move(completion));
}

void WaylandScreenCapture::getShareableDisplays(ContentCompletion completion)
{
    answerOnWorker(worker_, "Wayland", [this] { return shareableDisplays(); }, std::move(completion));
}

ContentFilter WaylandScreenCapture::filter(const ShareableDisplay& display)
{
    float scale = 0;
    try {
        connection_.run([&](WaylandSession& session) {
            const WaylandLayout layout = session.layout();
            if (const WaylandOutput* output = layout.find(display.displayID))
                scale = static_cast<float>(WaylandLayout::pixelScale(*output));
        });
    } catch (const std::exception&) {
    }
    return {ContentFilter::Kind::display, display.displayID, scale};
}

ContentFilter WaylandScreenCapture::filter(const ShareableWindow& window)
{
    float scale = 0;
    try {
        connection_.run([&](WaylandSession& session) {
            const WaylandLayout layout = session.layout();
            const WaylandOutput* output = layout.outputShowing(window.frame);
            if (!output)
                output = layout.main();
            if (output)
                scale = static_cast<float>(WaylandLayout::pixelScale(*output));
        });
    } catch (const std::exception&) {
    }
    return {ContentFilter::Kind::window, window.windowID, scale};
}

void WaylandScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                        ImageCompletion completion)
{
    answerOnWorker(
        worker_, "Wayland", [this, filter, configuration] { return capture(filter, configuration); },
        std::move(completion), [this] { releaseWhenIdle(); });
}

void WaylandScreenCapture::captureImageOver(const ContentFilter& filter, const StreamConfiguration& configuration,
                                            Image earlier, RetakeCompletion completion)
{
    answerOnWorker(
        worker_, "Wayland",
        [this, filter, configuration, earlier = std::move(earlier)]() mutable {
            return captureOver(filter, configuration, std::move(earlier));
        },
        std::move(completion), [this] { releaseWhenIdle(); });
}

void WaylandScreenCapture::releaseWhenIdle()
{
    const std::uint64_t picture = ++pictures_;
    worker_.asyncAfter(idleRelease, [this, picture] {
        if (pictures_ == picture) // no picture since
            connection_.ifConnected([this](WaylandSession& session) { screencopy_.release(session); });
    });
}
