#pragma once

#include "platform/Image.hpp"

#include <cstdint>
#include <vector>

// A PNG file of an opaque picture: 8-bit RGB (colour type 2), every row with the Sub filter,
// one zlib stream compressed by libdeflate at `level` (1 fastest to 12 smallest). Throws
// PlatformError when the picture is empty or too large, or memory runs out.
std::vector<std::uint8_t> writePNG(const Image& image, int level);
