#pragma once

#include "imaging/Image.hpp"
#include "platform/wayland/WaylandLayout.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

// Pictures as a compositor hands them over in shared memory, made into the BGRA pictures
// the imaging code takes. Pure logic.

// A buffer's layout as the compositor describes it: a wl_shm format, its size, its stride,
// and whether its rows run bottom to top.
struct SharedBufferLayout {
    std::uint32_t format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool yInverted = false;
};

// Whether pictures of this wl_shm format can be read (32-bit RGB with or without alpha,
// in either channel order).
bool readableFormat(std::uint32_t format);

// The buffer's pixels as a BGRA picture, rows top to bottom and turned from the output's
// scan-out orientation to the layout's (`transform` as wl_output numbers it). Pixels without
// alpha come out opaque. Nothing when the format cannot be read or the bytes are too few.
std::optional<Image> pictureFromBuffer(const std::uint8_t* bytes, std::size_t size, const SharedBufferLayout& layout,
                                       int transform);
// The same, written into `image`: a picture of the resulting size is written over in its own
// memory, anything else is replaced. False (and `image` untouched) when the format cannot be
// read or the bytes are too few.
bool pictureFromBuffer(const std::uint8_t* bytes, std::size_t size, const SharedBufferLayout& layout, int transform,
                       Image& image);

// The rectangle of the picture, which must lie inside it.
Image cropped(const Image& image, const PixelRect& rect);

// The picture at another size, nearest pixel: a capture asks for a size, and this honours it
// when the content's own differs (by a pixel of rounding at a fractional scale, say).
Image resampledNearest(const Image& image, int width, int height);
