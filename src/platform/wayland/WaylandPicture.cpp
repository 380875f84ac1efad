#include "platform/wayland/WaylandPicture.hpp"

#include <bit>
#include <cstring>
#include <utility>

namespace {

// wl_shm formats: the two that every compositor offers have their own numbers; the rest
// are DRM four-character codes.
constexpr std::uint32_t argb8888 = 0;
constexpr std::uint32_t xrgb8888 = 1;
constexpr std::uint32_t fourcc(char a, char b, char c, char d)
{
    return std::uint32_t(a) | std::uint32_t(b) << 8 | std::uint32_t(c) << 16 | std::uint32_t(d) << 24;
}
constexpr std::uint32_t abgr8888 = fourcc('A', 'B', '2', '4');
constexpr std::uint32_t xbgr8888 = fourcc('X', 'B', '2', '4');
// The fourth byte of a pixel in memory, read as a 32-bit word on this machine.
constexpr std::uint32_t alphaInWord = std::endian::native == std::endian::little ? 0xff000000u : 0x000000ffu;

bool hasAlpha(std::uint32_t format)
{
    return format == argb8888 || format == abgr8888;
}

// Red and blue trade places in these (the bytes are R, G, B, A in memory).
bool redFirst(std::uint32_t format)
{
    return format == abgr8888 || format == xbgr8888;
}

// Where the pixel (x, y) of the turned picture (width x height) lies in the scanned-out
// buffer: the output's transform turns the layout's picture into the buffer.
std::pair<int, int> sourceOf(int transform, int x, int y, int width, int height)
{
    switch (transform & 7) {
    case 1: return {y, width - 1 - x};
    case 2: return {width - 1 - x, height - 1 - y};
    case 3: return {height - 1 - y, x};
    case 4: return {width - 1 - x, y};
    case 5: return {y, x};
    case 6: return {x, height - 1 - y};
    case 7: return {height - 1 - y, width - 1 - x};
    default: return {x, y};
    }
}

// The alpha byte of every pixel set, a pixel a 32-bit word, which the compiler turns into
// vector code: a byte at a time took longer than the copy of the row.
void makeOpaque(std::uint8_t* pixels, int width)
{
    for (int x = 0; x < width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, pixels + x * 4, sizeof pixel);
        pixel |= alphaInWord;
        std::memcpy(pixels + x * 4, &pixel, sizeof pixel);
    }
}

} // namespace

bool readableFormat(std::uint32_t format)
{
    return format == argb8888 || format == xrgb8888 || format == abgr8888 || format == xbgr8888;
}

std::optional<Image> pictureFromBuffer(const std::uint8_t* bytes, std::size_t size, const SharedBufferLayout& layout,
                                       int transform)
{
    Image image;
    if (!pictureFromBuffer(bytes, size, layout, transform, image))
        return std::nullopt;
    return image;
}

bool pictureFromBuffer(const std::uint8_t* bytes, std::size_t size, const SharedBufferLayout& layout, int transform,
                       Image& image)
{
    if (!readableFormat(layout.format) || layout.width <= 0 || layout.height <= 0
        || layout.stride < layout.width * 4
        || size < static_cast<std::size_t>(layout.stride) * static_cast<std::size_t>(layout.height))
        return false;
    const bool turned = (transform & 1) != 0;
    const int width = turned ? layout.height : layout.width;
    const int height = turned ? layout.width : layout.height;
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    // Every byte is written below, so a picture of the size is written over as it is.
    if (image.width != width || image.height != height || image.bytesPerRow != rowBytes
        || image.pixels.size() != rowBytes * static_cast<std::size_t>(height))
        image = Image::blank(width, height);
    const bool swap = redFirst(layout.format);
    const bool opaque = !hasAlpha(layout.format);
    const auto sourceRow = [&](int y) {
        const int row = layout.yInverted ? layout.height - 1 - y : y;
        return bytes + static_cast<std::size_t>(row) * static_cast<std::size_t>(layout.stride);
    };
    if ((transform & 7) == 0 && !swap) {
        // The common case, row by row.
        for (int y = 0; y < image.height; ++y) {
            std::uint8_t* out = image.row(y);
            std::memcpy(out, sourceRow(y), rowBytes);
            if (opaque)
                makeOpaque(out, image.width);
        }
        return true;
    }
    for (int y = 0; y < image.height; ++y) {
        std::uint8_t* out = image.row(y);
        for (int x = 0; x < image.width; ++x) {
            const auto [sx, sy] = sourceOf(transform, x, y, image.width, image.height);
            const std::uint8_t* in = sourceRow(sy) + static_cast<std::size_t>(sx) * 4;
            out[x * 4 + 0] = swap ? in[2] : in[0];
            out[x * 4 + 1] = in[1];
            out[x * 4 + 2] = swap ? in[0] : in[2];
            out[x * 4 + 3] = opaque ? 0xff : in[3];
        }
    }
    return true;
}

Image cropped(const Image& image, const PixelRect& rect)
{
    Image out = Image::blank(rect.width, rect.height);
    for (int y = 0; y < rect.height; ++y)
        std::memcpy(out.row(y), image.row(rect.y + y) + static_cast<std::size_t>(rect.x) * 4,
                    static_cast<std::size_t>(rect.width) * 4);
    return out;
}

Image resampledNearest(const Image& image, int width, int height)
{
    Image out = Image::blank(width, height);
    if (image.width <= 0 || image.height <= 0)
        return out;
    for (int y = 0; y < height; ++y) {
        const int sy = static_cast<int>(static_cast<long long>(y) * image.height / height);
        const std::uint8_t* in = image.row(sy);
        std::uint8_t* row = out.row(y);
        for (int x = 0; x < width; ++x)
            std::memcpy(row + x * 4, in + static_cast<long long>(x) * image.width / width * 4, 4);
    }
    return out;
}
