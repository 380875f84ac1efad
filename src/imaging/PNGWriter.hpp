#pragma once

#include "imaging/Image.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// A PNG file of an opaque picture: 8-bit RGB (colour type 2), every row with the Sub filter,
// one zlib stream made of strips of rows compressed at once on up to `threads` threads
// (StripCompressor). The file's bytes depend on the picture only, not on the threads.
// Throws PlatformError when the picture is empty or too large; std::bad_alloc when memory
// runs out.
std::vector<std::uint8_t> writePNG(const Image& image, std::size_t threads);

// A strip holds whole rows of about this many filtered bytes (1 + 3 x width a row): a dozen
// strips for a full screen, enough to keep every core busy to the end.
inline constexpr std::size_t pngStripBytes = 512 * 1024;
