#pragma once

#include "platform/Geometry.hpp"
#include "platform/InputEvents.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One output of a Wayland desktop as the compositor describes it. Its place and size in
// the layout are logical pixels (what xdg-output reports, and what the layout's clients see);
// its mode is in device pixels, in the orientation the hardware scans out.
struct WaylandOutput {
    std::uint32_t id = 0; // the registry name of its wl_output, stable while it exists
    std::string name;     // "HEADLESS-1", "DP-2"
    int x = 0;
    int y = 0;
    int width = 0;  // logical
    int height = 0; // logical
    int modeWidth = 0;
    int modeHeight = 0;
    int transform = 0; // wl_output.transform: 0 normal, 1 to 3 turned by 90, 180, 270; 4 to 7 flipped
    int scale = 1;     // wl_output.scale: the integer the compositor rounds its scale up to
    int refresh = 0;   // of the current mode, in millihertz; 0 when the compositor does not say

    // The size of its pictures: the mode turned as the output is turned.
    int pixelWidth() const { return (transform & 1) ? modeHeight : modeWidth; }
    int pixelHeight() const { return (transform & 1) ? modeWidth : modeHeight; }
};

// A rectangle of whole pixels in a picture.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Where the virtual pointer is sent: a position on axes that span the layout's bounding box.
struct PointerPosition {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t xExtent = 0;
    std::uint32_t yExtent = 0;

    friend bool operator==(const PointerPosition&, const PointerPosition&) = default;
};

// The outputs of the layout and the one arithmetic everything shares: the main display is
// the output at the layout's origin, else the first; its top-left corner is the origin of
// the global display space, and one point is one logical pixel. Pure logic: no connection.
class WaylandLayout {
public:
    WaylandLayout() = default;
    explicit WaylandLayout(std::vector<WaylandOutput> outputs);

    const std::vector<WaylandOutput>& outputs() const { return outputs_; }
    // Nothing when there is no output at all.
    const WaylandOutput* main() const;
    const WaylandOutput* find(std::uint32_t id) const;

    // The output's rectangle in the global display space, in points.
    Rect bounds(const WaylandOutput& output) const;
    // Pixels per point of the output's pictures, horizontally: its pictures are this many
    // times the logical size (2 at scale 2, 1.5 at scale 1.5); 1 when the size is unknown.
    static double pixelScale(const WaylandOutput& output);

    // The output that shows most of the rectangle (global points); nothing when none does.
    const WaylandOutput* outputShowing(const Rect& frame) const;
    // The rectangle's pixels in the output's picture, cut to the picture. Its edges are
    // rounded one by one, so that windows side by side share their edge pixels exactly at
    // any scale.
    PixelRect pixelsOf(const WaylandOutput& output, const Rect& frame) const;

    // The pointer position for a point of the global display space, on axes spanning the
    // bounding box of every output at 1/256 of a logical pixel, kept inside the box.
    std::optional<PointerPosition> pointer(InputPoint point) const;

private:
    std::vector<WaylandOutput> outputs_;
};
