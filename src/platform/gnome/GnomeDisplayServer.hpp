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
// scales come from the Wayland connection every client has (xdg-output). Input goes through
// the portal's remote desktop, with the user's answer in its dialog as the Accessibility
// permission. The window list is not served yet: it is empty.
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
    void requestCaptureConsent() override;
    void openCaptureSettings() override;
    void requestInputConsent() override;

private:
    // No window list without the shell's help, and no pictures of single windows.
    class NoWindows final : public WindowServer {
    public:
        std::optional<Json> copyWindowInfo(std::uint32_t, std::uint32_t) override { return Json::array(); }
        std::optional<std::string> bundleIdentifier(std::int32_t) override { return std::nullopt; }
        std::optional<Image> createWindowImage(std::uint32_t) override { return std::nullopt; }
    };
    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    GnomeScreenCast screenCast_;
    GnomeScreenCapture screenCapture_{displays_, screenCast_};
    NoWindows windowServer_;
    GnomeRemoteDesktop remoteDesktop_;
    X11Clipboard clipboard_;
    GnomeInputEvents inputEvents_;
};
