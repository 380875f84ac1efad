#pragma once

#include "platform/DisplayServer.hpp"
#include "platform/InputEvents.hpp"
#include "platform/WindowServer.hpp"
#include "platform/gnome/GnomeInputEvents.hpp"
#include "platform/gnome/GnomeRemoteDesktop.hpp"
#include "platform/gnome/GnomeScreenCapture.hpp"
#include "platform/gnome/GnomeScreenCast.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/x11/X11Clipboard.hpp"
#include "platform/wayland/WaylandDisplays.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

#include <memory>

// GNOME on Wayland: the screen through the desktop portal's screen cast, with the user's
// answer in its dialog as the Screen Recording permission. The monitors' places, sizes and
// scales come from the Wayland connection every client has (xdg-output), the window list from
// the shell extension this program ships (GnomeWindows). Input goes through the portal's
// remote desktop, with the user's answer in its dialog as the Accessibility permission.
class GnomeDisplayServer final : public DisplayServer {
public:
    GnomeDisplayServer();
    ~GnomeDisplayServer() override;

    // The backend, when this is a GNOME session on Wayland (WAYLAND_DISPLAY set, the desktop
    // named GNOME) whose desktop portal offers screen casts. Nothing otherwise.
    static std::unique_ptr<GnomeDisplayServer> ifOffered();

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    // The permission is the user's answer, which the capture framework's probe reports: the
    // preflight passes so that the probe can say "not asked yet" apart from "refused".
    bool canCapture() override { return true; }
    bool canPostInput() override { return remoteDesktop_.consent() == GnomeRemoteDesktop::Consent::granted; }
    // Why the window list is empty, with how to enable the extension, while it is missing
    // or failing.
    std::optional<std::string> screenCaptureNote() override { return windows_.note(); }
    void requestCaptureConsent() override;
    void openCaptureSettings() override;
    void requestInputConsent() override;

private:
    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    GnomeScreenCast screenCast_;
    GnomeWindows windows_;
    GnomeScreenCapture screenCapture_{displays_, screenCast_, windows_};
    // The older window-server path over the capture framework's list and window pictures.
    ListedWindowServer windowServer_{[this] { return screenCapture_.windows(); },
                                     [this](std::uint32_t id) { return screenCapture_.windowPicture(id); }};
    GnomeRemoteDesktop remoteDesktop_;
    X11Clipboard clipboard_;
    GnomeInputEvents inputEvents_;
};
