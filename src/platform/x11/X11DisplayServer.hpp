#pragma once

#include "platform/DisplayServer.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11InputEvents.hpp"
#include "platform/x11/X11ScreenCapture.hpp"
#include "platform/x11/X11WindowServer.hpp"

#include <optional>
#include <string>

// The privacy questions of an X display: it can be read when it can be reached; input needs
// XTest. Never throw.
bool x11CanCapture(X11Connection& connection);
bool x11CanPostInput(X11Connection& connection);

// A Wayland session that no other backend took, as far as the X11 backend needs to know it.
struct UnservedWaylandSession {
    // What to say of it, for the status report.
    std::string detail;
    // The compositor's process; 0 when unknown.
    int compositorProcessID = 0;
};

// Whether the display is the XWayland of that session: XWayland by its own word, or an X
// server whose socket the session's compositor made. False when it cannot be reached. Never
// throws.
bool x11IsSessionXWayland(X11Connection& connection, const UnservedWaylandSession& session);

// An X11 desktop: one X connection, opened on first use, serves displays, capture and the
// window server; input has a connection of its own, opened at once in the background so
// that whatever a killed process left on the desktop goes back at start-up.
//
// Started inside a Wayland session that no other backend serves, the X server is most
// likely that session's XWayland, which shows its own windows and nothing around them: a
// picture of its root is black, and input posted to it reaches only its own clients. There,
// once the server is seen to be that XWayland, the screen is out of reach (the session's
// detail says why) and no input is posted; its windows can still be listed and captured.
class X11DisplayServer final : public DisplayServer {
public:
    // `unservedWayland`: the Wayland session the process was started in, when no backend
    // took it; nothing in an X11 session.
    explicit X11DisplayServer(std::optional<UnservedWaylandSession> unservedWayland = std::nullopt)
        : unservedWayland_(std::move(unservedWayland))
    {
        inputEvents_.connectInBackground();
    }

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    bool canCapture() override { return x11CanCapture(x11_); }
    bool canPostInput() override { return x11CanPostInput(x11_) && !onlyXWayland(); }
    std::optional<std::string> screenCaptureLimit() override
    {
        if (!onlyXWayland())
            return std::nullopt;
        return unservedWayland_->detail;
    }

private:
    // Asked anew each time: the X server may be replaced while the process runs.
    bool onlyXWayland() { return unservedWayland_ && x11IsSessionXWayland(x11_, *unservedWayland_); }

    std::optional<UnservedWaylandSession> unservedWayland_;
    X11Connection x11_;
    X11Displays displays_{x11_};
    X11ScreenCapture screenCapture_{x11_};
    X11WindowServer windowServer_{x11_};
    X11InputEvents inputEvents_;
};
