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

    // A picture of the size with unpadded rows, every byte 0.
    static Image blank(int width, int height)
    {
        Image image;
        image.width = width;
        image.height = height;
        image.bytesPerRow = static_cast<std::size_t>(width) * 4;
        image.pixels.resize(image.bytesPerRow * static_cast<std::size_t>(height));
        return image;
    }

    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * bytesPerRow; }
};

// Throws a PlatformError naming `operation` when the picture has no pixels or fewer bytes
// than its size and row length promise.
void checkPicture(const Image& image, const char* operation);
