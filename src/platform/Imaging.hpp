#pragma once

#include "imaging/Image.hpp"

#include <cstdint>
#include <vector>

// The picture work of screenshots: scaling and the two file encoders.
//
// Every call blocks the caller's thread for as long as the work takes (milliseconds for a
// full screen); an implementation may share the work out over the cores meanwhile. Calls
// keep no state between them. Pictures are taken as
// opaque: the alpha byte is carried through scaling but no encoder writes it, because X11
// leaves that byte undefined for the usual 24-bit visuals.
//
// Each call returns a new value owned by the caller and throws PlatformError when the work
// cannot be done (a size the library refuses, memory); a failed call leaves nothing behind.
class Imaging {
public:
    // The encoder quality factor is given as 0.3 to 1.0; values outside are clamped.
    static constexpr double minimumQuality = 0.3;
    static constexpr double maximumQuality = 1.0;
    // The largest picture resize() makes: 400 MB of pixels, twice the largest pixel budget.
    // An enlargement to 20,000 x 20,000 would need 1.6 GB before encoding and several more
    // while encoding, enough to have the process killed for memory.
    static constexpr std::int64_t maximumPixels = 100'000'000;

    virtual ~Imaging() = default;

    // The whole picture stretched to exactly width x height pixels (both at least 1),
    // enlarging or shrinking, aspect ratio not kept. High quality: shrinking averages what
    // each new pixel covers, so fine text does not alias, and colours are not shifted.
    // Refuses a size of more than maximumPixels.
    virtual Image resize(const Image& image, int width, int height) = 0;

    // A small picture of width x height whose every pixel is the average of the area of
    // the source it covers, whatever the aspect ratio. Cheap: one pass over the source.
    virtual Image thumbnail(const Image& image, int width, int height) = 0;

    // PNG file bytes: 8-bit RGB without alpha (colour type 2), not interlaced.
    virtual std::vector<std::uint8_t> encodePNG(const Image& image) = 0;

    // JPEG file bytes. `quality` 0.3 to 1.0 maps linearly onto the encoder's 30 to 100.
    virtual std::vector<std::uint8_t> encodeJPEG(const Image& image, double quality) = 0;
};
