#pragma once

#include "base/SerialQueue.hpp"
#include "platform/DisplayServer.hpp"
#include "platform/Displays.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/WindowServer.hpp"
#include "platform/kde/KWinScreenShot.hpp"
#include "platform/kde/KdeInputEvents.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandDisplays.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"
#include "platform/kde/KdeClipboard.hpp"

#include <memory>
#include <mutex>
#include <string>

// The screen-capture framework on KDE Plasma: the main output as the one display, pictures
// through KWin's screenshot service at the output's own scale. KWin refuses the service to
// programs no desktop file trusts: then every query fails with the framework's "declined"
// error, whose text names the desktop file that would trust this program. Queries return at
// once; the work and the completion run on a worker thread.
class KdeScreenCapture final : public ScreenCaptureFramework {
public:
    explicit KdeScreenCapture(Displays& displays);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    // The same work on the calling thread.
    ShareableContent shareableContent();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);

private:
    Displays& displays_;
    std::mutex lock_;
    KWinScreenShot screenShot_;
    SerialQueue worker_;
};

// KDE Plasma on Wayland, as a program that KWin trusts: the screen through KWin's screenshot
// service, input through its fake input device, both offered only to programs that a desktop
// file declares (X-KDE-DBUS-Restricted-Interfaces, X-KDE-Wayland-Interfaces); that trust is
// the Screen Recording and Accessibility permission. The outputs' places, sizes and scales
// come from the Wayland connection every client has (xdg-output). The window list is not
// served yet: it is empty.
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

private:
    class NoWindows final : public WindowServer {
    public:
        std::optional<Json> copyWindowInfo(std::uint32_t, std::uint32_t) override { return Json::array(); }
        std::optional<std::string> bundleIdentifier(std::int32_t) override { return std::nullopt; }
        std::optional<Image> createWindowImage(std::uint32_t) override { return std::nullopt; }
    };

    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    KdeScreenCapture screenCapture_{displays_};
    NoWindows windowServer_;
    KdeClipboard clipboard_;
    KdeInputEvents inputEvents_;
};

// What the status says when KWin does not trust this program: the desktop file that would.
std::string kdeUntrustedDetail();
