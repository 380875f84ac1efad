#pragma once

#include "base/SerialQueue.hpp"
#include "platform/DisplayServer.hpp"
#include "platform/Displays.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/WindowServer.hpp"
#include "platform/kde/KWinScreenShot.hpp"
#include "platform/kde/KWinWindows.hpp"
#include "platform/kde/KdeClipboard.hpp"
#include "platform/kde/KdeInputEvents.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandDisplays.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

#include <memory>
#include <mutex>
#include <string>

// The screen-capture framework on KDE Plasma: the main output as the one display, its windows
// as KWin's window management lists them, pictures of either through KWin's screenshot service
// at the output's own scale. KWin refuses the service to programs no desktop file trusts: then
// every query fails with the framework's "declined" error, whose text names the desktop file
// that would trust this program. Queries return at once; the work and the completion run on a
// worker thread.
class KdeScreenCapture final : public ScreenCaptureFramework {
public:
    KdeScreenCapture(Displays& displays, WaylandConnection& connection, KWinWindows& windows);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    void getShareableDisplays(ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    // The same work on the calling thread.
    ShareableContent shareableContent(bool onScreenWindowsOnly);
    ShareableContent shareableDisplays();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);
    // The windows front to back, frames relative to the main output; throws when KWin does
    // not trust this program or does not answer. Empty when KWin keeps its list from us.
    std::vector<ShareableWindow> windows();
    Image windowPicture(std::uint32_t windowID, bool pointer = false);
    // Why the window list is empty while KWin shows the screen but keeps its list from us.
    std::optional<std::string> windowsNote();

private:
    void requireTrust();
    std::vector<ShareableWindow> listedWindows();
    // The display's bounds in KWin's global logical space.
    Rect kwinBounds(std::uint32_t displayID);

    Displays& displays_;
    WaylandConnection& connection_;
    KWinWindows& windows_;
    std::mutex lock_;
    KWinScreenShot screenShot_;
    SerialQueue worker_;
};

// KDE Plasma on Wayland, as a program that KWin trusts: the screen through KWin's screenshot
// service, input through its fake input device, both offered only to programs that a desktop
// file declares (X-KDE-DBUS-Restricted-Interfaces, X-KDE-Wayland-Interfaces); that trust is
// the Screen Recording and Accessibility permission. The outputs' places, sizes and scales
// come from the Wayland connection every client has (xdg-output), the windows from KWin's
// window management on the same connection, also offered only to trusted programs.
class KdeDisplayServer final : public DisplayServer {
public:
    KdeDisplayServer();
    ~KdeDisplayServer() override;

    // The backend, when this is a KDE Plasma session on Wayland (WAYLAND_DISPLAY set, the
    // desktop named KDE). Nothing otherwise.
    static std::unique_ptr<KdeDisplayServer> ifOffered();

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    // The permission is KWin's trust, which the capture framework's probe reports.
    bool canCapture() override { return true; }
    bool canPostInput() override { return inputEvents_.offered(); }
    std::optional<std::string> screenCaptureNote() override { return screenCapture_.windowsNote(); }

private:
    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    KWinWindows windows_;
    KdeScreenCapture screenCapture_{displays_, connection_, windows_};
    ListedWindowServer windowServer_{[this] { return screenCapture_.windows(); },
                                     [this](std::uint32_t id) { return screenCapture_.windowPicture(id); }};
    KdeClipboard clipboard_;
    KdeInputEvents inputEvents_;
};

// What the status says when KWin does not trust this program: the desktop file that would.
std::string kdeUntrustedDetail();
