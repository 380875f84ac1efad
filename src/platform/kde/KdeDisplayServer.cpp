#include "platform/kde/KdeDisplayServer.hpp"

#include "base/PlatformError.hpp"
#include "platform/wayland/WaylandPicture.hpp"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

// The framework's code for a user who declined.
constexpr long userDeclined = -3801;

} // namespace

std::string kdeUntrustedDetail()
{
    std::error_code ignored;
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
    return "KWin shows the screen and takes input only from programs that a desktop file trusts, and none "
           "names " + (executable.empty() ? std::string("this program") : executable) +
           ": install the package's velmar-computer-use.desktop (in /usr/share/applications), or a desktop file "
           "in ~/.local/share/applications with Exec=" + (executable.empty() ? "the program" : executable) +
           ", X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input and "
           "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2";
}

KdeScreenCapture::KdeScreenCapture(Displays& displays)
    : displays_(displays), worker_("com.velmar.computer-use.kde-capture")
{
}

ShareableContent KdeScreenCapture::shareableContent()
{
    const std::uint32_t main = displays_.mainDisplayID();
    const Rect bounds = displays_.bounds(main);
    {
        // KWin's trust is asked with the smallest picture there is.
        std::lock_guard lock(lock_);
        try {
            screenShot_.area(static_cast<std::int64_t>(bounds.x), static_cast<std::int64_t>(bounds.y), 1, 1, false);
        } catch (const KWinScreenShot::Refused&) {
            throw PlatformError(screenCaptureErrorDomain, userDeclined, kdeUntrustedDetail());
        }
    }
    ShareableContent content;
    content.displays.push_back({main, static_cast<std::int64_t>(bounds.width), static_cast<std::int64_t>(bounds.height)});
    return content;
}

Image KdeScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw PlatformError("KWin", 0, "only BGRA pictures are made");
    if (filter.kind != ContentFilter::Kind::display)
        throw PlatformError("KWin", 0, "pictures of single windows are not taken on KDE Plasma yet");
    const Rect bounds = displays_.bounds(filter.id);
    if (bounds.width <= 0 || bounds.height <= 0)
        throw PlatformError("KWin", 0, "the display is not shown");
    Image image;
    {
        std::lock_guard lock(lock_);
        try {
            image = screenShot_.area(static_cast<std::int64_t>(bounds.x), static_cast<std::int64_t>(bounds.y),
                                     static_cast<std::int64_t>(bounds.width), static_cast<std::int64_t>(bounds.height),
                                     configuration.showsCursor);
        } catch (const KWinScreenShot::Refused&) {
            throw PlatformError(screenCaptureErrorDomain, userDeclined, kdeUntrustedDetail());
        }
    }
    const int width = static_cast<int>(configuration.width);
    const int height = static_cast<int>(configuration.height);
    if (width > 0 && height > 0 && (width != image.width || height != image.height))
        return resampledNearest(image, width, height);
    return image;
}

void KdeScreenCapture::getShareableContent(bool, bool, ContentCompletion completion)
{
    worker_.async([this, completion = std::move(completion)] {
        std::optional<ShareableContent> content;
        std::optional<PlatformError> failure;
        try {
            content = shareableContent();
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "KWin");
        }
        completion(std::move(content), std::move(failure));
    });
}

ContentFilter KdeScreenCapture::filter(const ShareableDisplay& display)
{
    const Rect bounds = displays_.bounds(display.displayID);
    const auto pixels = displays_.modePixelWidth(display.displayID);
    const float scale = bounds.width > 0 && pixels ? static_cast<float>(*pixels / bounds.width) : 0;
    return {ContentFilter::Kind::display, display.displayID, scale};
}

ContentFilter KdeScreenCapture::filter(const ShareableWindow& window)
{
    return {ContentFilter::Kind::window, window.windowID, 0};
}

void KdeScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                    ImageCompletion completion)
{
    worker_.async([this, filter, configuration, completion = std::move(completion)] {
        std::optional<Image> image;
        std::optional<PlatformError> failure;
        try {
            image = capture(filter, configuration);
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, "KWin");
        }
        completion(std::move(image), std::move(failure));
    });
}

KdeDisplayServer::KdeDisplayServer()
    : connection_({false, {}, {}}),
      // Text the layout cannot type goes through the clipboard; KWin's own bridge of its
      // XWayland's clipboard takes an X client's only while an X window is active.
      inputEvents_(PasteRoute{[this] { return clipboard_.available(); },
                                             [this](const std::string& text, const std::function<void()>& pasteKey) {
                                                 clipboard_.pasteWith(text, pasteKey);
                                             }})
{
}

KdeDisplayServer::~KdeDisplayServer()
{
    connection_.disconnect();
}

std::unique_ptr<KdeDisplayServer> KdeDisplayServer::ifOffered()
{
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (!display || !*display || !desktops)
        return nullptr;
    // A colon-separated list ("KDE").
    std::string_view rest = desktops;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        if (rest.substr(0, colon) == "KDE")
            return std::make_unique<KdeDisplayServer>();
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    return nullptr;
}
