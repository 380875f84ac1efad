#include "platform/gnome/GnomeScreenCapture.hpp"

#include "platform/WorkerAnswer.hpp"
#include "platform/gnome/GnomeWindowList.hpp"
#include "platform/wayland/WaylandPicture.hpp"

namespace {

constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;
// The framework's code for a user who declined.
constexpr long userDeclined = -3801;

} // namespace

GnomeScreenCapture::GnomeScreenCapture(Displays& displays, GnomeScreenCast& screenCast, GnomeWindows& windows)
    : displays_(displays), screenCast_(screenCast), windows_(windows), worker_("com.velmar.computer-use.gnome-capture")
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

std::vector<ShareableWindow> GnomeScreenCapture::windows()
{
    requireConsent();
    auto answer = windows_.list();
    const Rect monitor = screenCast_.monitorPlace();
    for (ShareableWindow& window : answer.windows) {
        window.frame.x -= monitor.x;
        window.frame.y -= monitor.y;
    }
    return std::move(answer.windows);
}

Image GnomeScreenCapture::windowPicture(std::uint32_t windowID)
{
    requireConsent();
    auto answer = windows_.list();
    if (answer.state != GnomeWindows::Answer::State::listed)
        throw PlatformError("GNOME", 0, answer.reason);
    const std::string name = "window " + std::to_string(windowID);
    for (const ShareableWindow& window : answer.windows) {
        if (window.windowID != windowID)
            continue;
        if (!window.isOnScreen)
            throw PlatformError("GNOME", 0, name + " is not shown (it is minimized or on another workspace), "
                                                   "and GNOME shares only what is on screen");
        // The frame and the monitor both in the shell's logical pixels, the monitor's
        // picture at its pixel scale: the shell's list and the stream's frame are taken
        // apart, and a window that moves between them is cut where the list put it.
        Image whole = screenCast_.frame();
        Rect monitor = screenCast_.monitorPlace();
        if (monitor.width <= 0 || monitor.height <= 0) {
            // A portal that did not say the stream's size: the main monitor's, as Wayland tells it.
            const Rect bounds = displays_.bounds(displays_.mainDisplayID());
            monitor.width = bounds.width;
            monitor.height = bounds.height;
        }
        const PixelRect area = gnomeMonitorPixels(window.frame, monitor, whole.width, whole.height);
        if (area.width <= 0 || area.height <= 0)
            throw PlatformError("GNOME", 0, name + " is not on the shared monitor");
        return cropped(whole, area);
    }
    throw PlatformError("GNOME", 0, name + " is gone");
}

ShareableContent GnomeScreenCapture::shareableContent()
{
    return shareableContent(false);
}

ShareableContent GnomeScreenCapture::shareableContent(bool onScreenWindowsOnly)
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
    for (ShareableWindow& window : windows()) {
        if (window.isOnScreen || !onScreenWindowsOnly)
            content.windows.push_back(std::move(window));
    }
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
    Image image;
    if (filter.kind == ContentFilter::Kind::window) {
        image = windowPicture(filter.id);
    } else {
        requireConsent();
        image = screenCast_.frame();
    }
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    if (width > 0 && height > 0 && (width != image.width || height != image.height))
        return resampledNearest(image, width, height);
    return image;
}

void GnomeScreenCapture::getShareableContent(bool, bool onScreenWindowsOnly, ContentCompletion completion)
{
    answerOnWorker(
        worker_, "GNOME", [this, onScreenWindowsOnly] { return shareableContent(onScreenWindowsOnly); },
        std::move(completion));
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
    // Windows are cut from the main monitor's picture, at its scale.
    const std::uint32_t main = displays_.mainDisplayID();
    return {ContentFilter::Kind::window, window.windowID, filter(ShareableDisplay{main, 0, 0}).pointPixelScale};
}

void GnomeScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                      ImageCompletion completion)
{
    answerOnWorker(
        worker_, "GNOME", [this, filter, configuration] { return capture(filter, configuration); },
        std::move(completion));
}
