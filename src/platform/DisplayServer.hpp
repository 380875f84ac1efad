#pragma once

#include <optional>
#include <string>

class Displays;
class InputEvents;
class ScreenCaptureFramework;
class WindowServer;

// The desktop's display server as the rest of the platform reaches it: the services that
// depend on it, and the two privacy questions only it can answer. One implementation per
// kind of desktop (X11, the Wayland compositors built on wlroots, GNOME), side by side; start-up
// picks one (LinuxPlatform) and keeps it for the life of the process.
class DisplayServer {
public:
    virtual ~DisplayServer() = default;

    virtual Displays& displays() = 0;
    virtual ScreenCaptureFramework& screenCapture() = 0;
    virtual WindowServer& windowServer() = 0;
    virtual InputEvents& inputEvents() = 0;

    // Whether pictures of the screen can be taken: the display server answers and lets this
    // process copy what it shows. May block briefly (a connection attempt); never throws.
    virtual bool canCapture() = 0;
    // Whether this process can post input through it. The same terms.
    virtual bool canPostInput() = 0;
    // Set where the display server shows this process the windows of some applications but
    // not the screen (the XWayland of a Wayland desktop that no backend serves): why, and what
    // would serve the desktop, in words for people. Nothing where canCapture() speaks for the
    // whole screen. The same terms.
    virtual std::optional<std::string> screenCaptureLimit() { return std::nullopt; }
    // Set where the screen is captured but part of what goes with it is not served (the
    // window list of a desktop that needs a helper installed for it): what is missing and
    // how to get it, in words for people. The same terms.
    virtual std::optional<std::string> screenCaptureNote() { return std::nullopt; }

    // Where the desktop asks its user before sharing the screen: show that question if the
    // user has not answered it yet (requestCaptureConsent), or again to let them change
    // their answer (openCaptureSettings). Main thread; both return at once, without waiting
    // for the answer. Desktops that ask nobody do nothing.
    virtual void requestCaptureConsent() {}
    virtual void openCaptureSettings() {}
    // The same for posting input: shows the desktop's question unless input is allowed.
    virtual void requestInputConsent() {}
};
