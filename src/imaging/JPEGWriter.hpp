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

// Rows in a band (a multiple of the 16-row MCU of 4:2:0): a full screen makes about eight.
inline constexpr int jpegBandRows = 128;
