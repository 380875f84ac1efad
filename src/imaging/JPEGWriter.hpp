#pragma once

#include "imaging/Image.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// A baseline JPEG file of an opaque picture, read straight from its BGRX bytes by TurboJPEG at
// `quality` (1 to 100) with 4:2:0 chroma. The picture is cut into bands of whole MCU rows,
// compressed at once on up to `threads` threads and joined into one scan with restart
// markers: a decoder resets its DC predictions at each marker, as every band's encoder
// started from zero, so the file decodes to exactly the pixels of a single-pass encoding.
// The file's bytes depend on the picture and the quality only, not on the threads. Throws
// PlatformError when TurboJPEG fails.
std::vector<std::uint8_t> writeJPEG(const Image& image, int quality, std::size_t threads);

struct JPEGBand;

// writeJPEG that keeps its bands for the next picture of the same size and quality, and
// makes again only the bands in which a row changed. The file is the same, byte for byte,
// as writeJPEG's of the same picture.
class JPEGBandWriter {
public:
    JPEGBandWriter();
    ~JPEGBandWriter();
    JPEGBandWriter(JPEGBandWriter&&) noexcept;
    JPEGBandWriter& operator=(JPEGBandWriter&&) noexcept;

    // `changedRows`, one entry per row of `image`, marks (non-zero) the rows that differ from
    // the picture of the last write; without it, or when the size or quality differ from the
    // last write's, every band is made. Throws as writeJPEG; after a throw nothing is kept.
    std::vector<std::uint8_t> write(const Image& image, int quality, const std::vector<std::uint8_t>* changedRows,
                                    std::size_t threads);
    // Gives back the kept bands.
    void clear();

private:
    std::vector<JPEGBand> bands_;
    int width_ = 0;
    int height_ = 0;
    int quality_ = 0;
};

// Rows in a band (a multiple of the 16-row MCU of 4:2:0). A small change costs its bands
// again, so they are thin; each is a call to the encoder with headers of its own, so they
// are not one MCU row thin: a full screen makes about thirty-four.
inline constexpr int jpegBandRows = 32;
