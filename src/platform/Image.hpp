#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A picture in memory: rows top to bottom, four bytes a pixel in the order blue, green, red,
// alpha (the byte order X11 and the capture paths deliver). `bytesPerRow` may exceed
// width * 4 when rows are padded.
struct Image {
    int width = 0;
    int height = 0;
    std::size_t bytesPerRow = 0;
    std::vector<std::uint8_t> pixels;

    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * bytesPerRow; }
};
