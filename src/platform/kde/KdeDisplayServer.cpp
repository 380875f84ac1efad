#include "platform/kde/KdeDisplayServer.hpp"

#include "base/PlatformError.hpp"
#include "platform/WorkerAnswer.hpp"
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

KdeScreenCapture::KdeScreenCapture(Displays& displays, WaylandConnection& connection, KWinWindows& windows)
    : displays_(displays), connection_(connection), windows_(windows), worker_("com.velmar.computer-use.kde-capture")
{
}

namespace {

// Our space has the main output's corner at the origin; KWin's global space may have it
// anywhere.
std::pair<double, double> mainOrigin(WaylandSession& session)
{
    const WaylandLayout layout = session.layout();
    const WaylandOutput* main = layout.main();
    return main ? std::pair<double, double>{main->x, main->y} : std::pair<double, double>{0, 0};
}

} // namespace

Rect KdeScreenCapture::kwinBounds(std::uint32_t displayID)
{
    Rect bounds = displays_.bounds(displayID);
    const auto [x, y] = connection_.run(mainOrigin);
    bounds.x += x;
    bounds.y += y;
    return bounds;
}

void KdeScreenCapture::requireTrust()
{
    // KWin's trust is asked with the smallest picture there is.
    const Rect bounds = kwinBounds(displays_.mainDisplayID());
    std::lock_guard lock(lock_);
    try {
        screenShot_.area(static_cast<std::int64_t>(bounds.x), static_cast<std::int64_t>(bounds.y), 1, 1, false);
    } catch (const KWinScreenShot::Refused&) {
        throw PlatformError(screenCaptureErrorDomain, userDeclined, kdeUntrustedDetail());
    }
}

std::vector<ShareableWindow> KdeScreenCapture::windows()
{
    requireTrust();
    return listedWindows();
}

std::vector<ShareableWindow> KdeScreenCapture::listedWindows()
{
    return connection_.run([&](WaylandSession& session) {
        std::vector<ShareableWindow> list;
        if (!windows_.offered())
            return list;
        const auto [originX, originY] = mainOrigin(session);
        for (KWinWindow& kwin : windows_.windows(session)) {
            ShareableWindow window;
            window.windowID = kwin.id;
            window.frame = {kwin.frame.x - originX, kwin.frame.y - originY, kwin.frame.width, kwin.frame.height};
            window.title = std::move(kwin.title);
            window.isOnScreen = !kwin.minimized;
            if (kwin.processID > 0 || !kwin.appID.empty())
                window.owningApplication = OwningApplication{kwin.processID, kwin.appID, kwin.appID};
            list.push_back(std::move(window));
        }
        return list;
    });
}

std::optional<std::string> KdeScreenCapture::windowsNote()
{
    try {
        if (connection_.run([&](WaylandSession&) { return windows_.offered(); }))
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return "windows are not listed: KWin keeps its window list (org_kde_plasma_window_management) from programs "
           "that no desktop file declares it for; add it to X-KDE-Wayland-Interfaces in the program's desktop file";
}

Image KdeScreenCapture::windowPicture(std::uint32_t windowID, bool pointer)
{
    requireTrust();
    const std::string name = "window " + std::to_string(windowID);
    const auto found = connection_.run([&](WaylandSession& session) -> std::optional<KWinWindow> {
        for (KWinWindow& window : windows_.windows(session)) {
            if (window.id == windowID)
                return std::move(window);
        }
        return std::nullopt;
    });
    if (!found)
        throw PlatformError("KWin", 0, name + " is gone");
    if (found->minimized)
        throw PlatformError("KWin", 0, name + " is minimized, and KWin draws no picture of it");
    std::lock_guard lock(lock_);
    try {
        return screenShot_.window(found->uuid, pointer);
    } catch (const KWinScreenShot::Refused&) {
        throw PlatformError(screenCaptureErrorDomain, userDeclined, kdeUntrustedDetail());
    }
}

ShareableContent KdeScreenCapture::shareableDisplays()
{
    requireTrust();
    const std::uint32_t main = displays_.mainDisplayID();
    const Rect bounds = displays_.bounds(main);
    ShareableContent content;
    content.displays.push_back({main, static_cast<std::int64_t>(bounds.width), static_cast<std::int64_t>(bounds.height)});
    return content;
}

ShareableContent KdeScreenCapture::shareableContent(bool onScreenWindowsOnly)
{
    ShareableContent content = shareableDisplays();
    for (ShareableWindow& window : listedWindows()) {
        if (window.isOnScreen || !onScreenWindowsOnly)
            content.windows.push_back(std::move(window));
    }
    return content;
}

Image KdeScreenCapture::capture(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    if (configuration.pixelFormat != StreamConfiguration::pixelFormatBGRA)
        throw PlatformError("KWin", 0, "only BGRA pictures are made");
    Image image;
    if (filter.kind == ContentFilter::Kind::window) {
        image = windowPicture(filter.id, configuration.showsCursor);
    } else {
        const Rect bounds = kwinBounds(filter.id);
        if (bounds.width <= 0 || bounds.height <= 0)
            throw PlatformError("KWin", 0, "the display is not shown");
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

void KdeScreenCapture::getShareableDisplays(ContentCompletion completion)
{
    // A picture of the display needs no window list.
    answerOnWorker(worker_, "KWin", [this] { return shareableDisplays(); }, std::move(completion));
}

void KdeScreenCapture::getShareableContent(bool, bool onScreenWindowsOnly, ContentCompletion completion)
{
    answerOnWorker(
        worker_, "KWin", [this, onScreenWindowsOnly] { return shareableContent(onScreenWindowsOnly); },
        std::move(completion));
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
    // KWin draws a window at the scale of the main output (its native resolution there).
    const std::uint32_t main = displays_.mainDisplayID();
    return {ContentFilter::Kind::window, window.windowID, filter(ShareableDisplay{main, 0, 0}).pointPixelScale};
}

void KdeScreenCapture::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                    ImageCompletion completion)
{
    answerOnWorker(
        worker_, "KWin", [this, filter, configuration] { return capture(filter, configuration); },
        std::move(completion));
}

KdeDisplayServer::KdeDisplayServer()
    : connection_({false, [this](WaylandSession& session) { windows_.attach(session); }, [this] { windows_.detach(); }}),
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
