#pragma once

#include "platform/ScreenCaptureFramework.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11Displays.hpp"

#include <vector>

// The application windows of the X screen, front to back, with their frames in the global
// display space of `layout`. Where the windows come from, in order of preference:
//   1. the window manager's _NET_CLIENT_LIST_STACKING;
//   2. without one, the top-level windows carrying WM_STATE, looked for through the window
//      manager's frames (the client window is a descendant of the frame);
//   3. without either (a bare X server has no window manager to set WM_STATE), the mapped,
//      viewable, input-output top-level windows that are not override-redirect (menus and
//      tooltips are not application windows).
// Titles come from _NET_WM_NAME or WM_NAME, process ids from _NET_WM_PID or the X-Resource
// extension, application names from WM_CLASS (class as the name, instance as the
// identifier). Every request of a stage goes out before any reply is read.
// Throws X11ConnectionLost; a window that vanishes while it is read is left out.
std::vector<ShareableWindow> x11Windows(X11Session& session, const X11DisplayLayout& layout, bool onScreenWindowsOnly,
                                        bool excludingDesktopWindows);

// The window's own pixels, whole even where other windows cover it (through the Composite
// extension's copy of its top-level ancestor), together with its frame in root pixels.
// Throws PlatformError when the window does not exist or is not mapped.
struct X11WindowPicture {
    Image image;
    int rootX = 0;
    int rootY = 0;
};
X11WindowPicture x11ReadWindow(X11Session& session, xcb_window_t window);
