#pragma once

#include "platform/DisplayServer.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandDisplays.hpp"
#include "platform/wayland/WaylandInputEvents.hpp"
#include "platform/wayland/WaylandScreenCapture.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"
#include "platform/wayland/WaylandWindowServer.hpp"

#include <memory>

// A Wayland desktop built on wlroots (sway, Hyprland, river, labwc, Wayfire): one connection,
// opened on first use, serves displays, capture and the window list; input has a connection
// of its own. The screen can be read when the compositor offers screencopy; input can be
// posted when it offers both a virtual pointer and a virtual keyboard.
class WaylandDisplayServer final : public DisplayServer {
public:
    WaylandDisplayServer();
    ~WaylandDisplayServer() override;

    // The backend, when WAYLAND_DISPLAY names a compositor that answers within 2 s and offers
    // what it needs: xdg-output, screencopy, a virtual pointer and a virtual keyboard (with a
    // seat). Nothing otherwise.
    static std::unique_ptr<WaylandDisplayServer> ifOffered();

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    bool canCapture() override;
    bool canPostInput() override;

private:
    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    WaylandScreenCapture screenCapture_{connection_, screencopy_};
    WaylandWindowServer windowServer_{connection_, screencopy_};
    WaylandInputEvents inputEvents_;
};
