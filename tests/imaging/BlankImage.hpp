#pragma once

#include "imaging/Image.hpp"

#include <cstddef>

// BGRA rows, optionally padded past the last pixel. Every byte starts as 0xEE, a value that
// must never reach a file from padding or alpha.
inline Image blankImage(int width, int height, std::size_t padding = 0)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4 + padding;
    image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), 0xEE);
    return image;
}
