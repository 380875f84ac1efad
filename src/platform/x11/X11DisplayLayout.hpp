#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One monitor of the X screen, in root-window pixels.
struct X11Monitor {
    std::uint32_t id = 0; // the RandR output, or the root window when RandR lists none
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The monitors as RandR lists them, and which is the main display: the primary output's
// CRTC, else the first lit output, else the whole root window. The main display's top-left
// corner is the origin of the global display space; one point is one pixel.
struct X11DisplayLayout {
    std::vector<X11Monitor> monitors;
    std::size_t main = 0;

    const X11Monitor& mainMonitor() const { return monitors[main]; }
    const X11Monitor* find(std::uint32_t id) const;
};
