#pragma once

#include "platform/ScreenCaptureFramework.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

#include <vector>

// The desktop's windows, those not shown included (isOnScreen false): on a desktop of
// workspaces, windows on the hidden ones are the user's windows as much as the shown ones,
// and their clients keep them mapped. On sway, its layout tree: ids, titles, app ids,
// processes, frames and which are shown. Without sway's socket, what foreign-toplevel
// management tells: ids of our own (stable while this connection lasts), titles and app ids,
// shown unless minimized or on no output, but no frame (the zero rectangle) and no process
// (0). Throws PlatformError and WaylandConnectionLost.
std::vector<ShareableWindow> waylandWindows(WaylandSession& session, const WaylandLayout& layout);

// One window's picture, cut from a copy of the output that shows most of it: a Wayland
// desktop copies outputs, not single windows, so what covers the window is in the picture
// too. Throws PlatformError naming why when the window is gone, not shown, or has no known
// place; WaylandConnectionLost.
struct WaylandWindowPicture {
    Image image;
    ShareableWindow window;
};
WaylandWindowPicture waylandWindowPicture(WaylandSession& session, WaylandScreencopy& screencopy,
                                          std::uint32_t windowID, bool withCursor,
                                          WaylandScreencopy::Reuse reuse = WaylandScreencopy::Reuse::no);
