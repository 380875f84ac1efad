#include "platform/gnome/GnomeScreenCapture.hpp"

#include "platform/wayland/WaylandPicture.hpp"

namespace {

constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;
// The framework's code for a user who declined.
constexpr long userDeclined = -3801;

} // namespace

GnomeScreenCapture::GnomeScreenCapture(Displays& displays, GnomeScreenCast& screenCast)
    : displays_(displays), screenCast_(screenCast), worker_("com.velmar.computer-use.gnome-capture")
{
}

void GnomeScreenCapture::requireConsent()
{
    const auto consent = screenCast_.consent();
    if (consent == GnomeScreenCast::Consent::granted)
        return;
    if (consent == GnomeScreenCast::Consent::refused)
        throw PlatformError(screenCaptureErrorDomain, userDeclined, screenCast_.detail());
    throw PlatformError("GNOME", 0, screenCast_.detail());
}

ShareableContent GnomeScreenCapture::shareableContent()
{
    requireConsent();
    ShareableContent content;
    const std::uint32_t main = displays_.mainDisplayID();
    const Rect bounds = displays_.bounds(main);
    auto [width, height] = screenCast_.logicalSize();
    if (bounds.width > 0 && bounds.height > 0) {
        width = static_cast<int>(bounds.width);
        height = static_cast<int>(bounds.height);
    }
    content.displays.push_back({main, width, height});
    return content;
}

Image GnomeScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    if (configuration.width < 0 || configuration.height < 0
        || (configuration.height > 0 && configuration.width > largestPicture / configuration.height))
        throw PlatformError("GNOME", 0, "a picture of " + std::to_string(configuration.width) + " x "
                                            + std::to_string(configuration.height) + " pixels is too large");
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw PlatformError("GNOME", 0, "only BGRA pictures are made");
    if (filter.kind != ContentFilter::Kind::display)
        throw PlatformError("GNOME", 0, "pictures of single windows are not taken on this GNOME desktop");
    requireConsent();
    Image image = screenCast_.frame();
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    if (width > 0 && height > 0 && (width != image.width || height != image.height))
        return resampledNearest(image, width, height);
    return image;
}

void GnomeScreenCapture::getShareableContent(bool, bool, ContentCompletion completion)
{
    worker_.async([this, completion = std::move(completion)] {
        std::optional<ShareableContent> content;
        std::optional<PlatformError> failure;
        try {
            content = shareableContent();
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "GNOME");
        }
        completion(std::move(content), std::move(failure));
    });
}

ContentFilter GnomeScreenCapture::filter(const ShareableDisplay& display)
{
    const Rect bounds = displays_.bounds(display.displayID);
    const auto pixels = displays_.modePixelWidth(display.displayID);
    const float scale = bounds.width > 0 && pixels ? static_cast<float>(*pixels / bounds.width) : 0;
    return {ContentFilter::Kind::display, display.displayID, scale};
}

ContentFilter GnomeScreenCapture::filter(const ShareableWindow& window)
{
    return {ContentFilter::Kind::window, window.windowID, 0};
}

void GnomeScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                      ImageCompletion completion)
{
    worker_.async([this, filter, configuration, completion = std::move(completion)] {
        std::optional<Image> image;
        std::optional<PlatformError> failure;
        try {
            image = capture(filter, configuration);
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "GNOME");
        }
        completion(std::move(image), std::move(failure));
    });
}
