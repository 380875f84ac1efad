#pragma once

#include "platform/Geometry.hpp"
#include "imaging/Image.hpp"

#include <cstdint>
#include <optional>

// Display geometry and modes as the window server reports them. Every call runs on the
// caller's thread, may make a round trip to the display server, and never throws: a display
// that cannot be read answers the zero rectangle, 0 or nothing.
class Displays {
public:
    virtual ~Displays() = default;

    // The main display: its top-left corner is the origin of the global display space.
    virtual std::uint32_t mainDisplayID() = 0;
    // The display's rectangle in the global display space, in points.
    virtual Rect bounds(std::uint32_t displayID) = 0;
    // The pixel width of the display's current mode, or nothing when no mode is known.
    virtual std::optional<std::int64_t> modePixelWidth(std::uint32_t displayID) = 0;
    // The display's width in pixels, for when there is no mode.
    virtual std::int64_t pixelsWide(std::uint32_t displayID) = 0;
    // The older capture path: the whole display at once, without the pointer, BGRA, owned by
    // the caller; nothing when no picture can be taken.
    virtual std::optional<Image> createImage(std::uint32_t displayID) = 0;
};
