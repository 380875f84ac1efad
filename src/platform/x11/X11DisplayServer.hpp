#pragma once

#include "platform/DisplayServer.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11InputEvents.hpp"
#include "platform/x11/X11ScreenCapture.hpp"
#include "platform/x11/X11WindowServer.hpp"

// The privacy questions of an X display: it can be read when it can be reached; input needs
// XTest. Never throw.
bool x11CanCapture(X11Connection& connection);
bool x11CanPostInput(X11Connection& connection);

// An X11 desktop: one X connection, opened on first use, serves displays, capture and the
// window server; input has a connection of its own, opened at once in the background so
// that whatever a killed process left on the desktop goes back at start-up.
class X11DisplayServer final : public DisplayServer {
public:
    X11DisplayServer() { inputEvents_.connectInBackground(); }

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    bool canCapture() override { return x11CanCapture(x11_); }
    bool canPostInput() override { return x11CanPostInput(x11_); }

private:
    X11Connection x11_;
    X11Displays displays_{x11_};
    X11ScreenCapture screenCapture_{x11_};
    X11WindowServer windowServer_{x11_};
    X11InputEvents inputEvents_;
};
