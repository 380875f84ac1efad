#include "platform/x11/X11Image.hpp"

#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The ZPixmap layout the server uses for a depth; only 32 bits a pixel is read here, which
// is what every TrueColor server of depth 24 or 32 gives.
int bitsPerPixel(const xcb_setup_t* setup, std::uint8_t depth)
{
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats)) {
        if (formats.data->depth == depth)
            return formats.data->bits_per_pixel;
    }
    return 0;
}

void copyPixels(const xcb_setup_t* setup, std::uint8_t depth, const std::uint8_t* source, std::size_t length,
                Image& image)
{
    if (bitsPerPixel(setup, depth) != 32)
        throw PlatformError("X11", 0, "the X server's pixel layout of depth " + std::to_string(depth) + " is not supported");
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 4;
    if (length < rowBytes * static_cast<std::size_t>(image.height))
        throw PlatformError("X11", 0, "the X server returned a short image");
    image.bytesPerRow = rowBytes;
    const std::size_t size = rowBytes * static_cast<std::size_t>(image.height);
    // resize, not assign: the bytes are written once, below, in the pass that reads them.
    image.pixels.resize(size);
    std::uint8_t* pixels = image.pixels.data();
    if (setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST) {
        for (std::size_t i = 0; i < size; i += 4) {
            pixels[i] = source[i + 3];
            pixels[i + 1] = source[i + 2];
            pixels[i + 2] = source[i + 1];
            pixels[i + 3] = depth != 32 ? 0xff : source[i];
        }
        return;
    }
    if (depth == 32) {
        std::memcpy(pixels, source, size);
        return;
    }
    // Depth 24 leaves the fourth byte undefined; a picture without alpha is opaque. The
    // alpha is set in the pass that copies, two pixels a word (vector code): a copy and then
    // a second pass over the picture cost as much again as the copy.
    constexpr std::array<std::uint8_t, 8> alphaBytes{0, 0, 0, 0xff, 0, 0, 0, 0xff};
    std::uint64_t opaque;
    std::memcpy(&opaque, alphaBytes.data(), sizeof opaque);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t twoPixels;
        std::memcpy(&twoPixels, source + i, sizeof twoPixels);
        twoPixels |= opaque;
        std::memcpy(pixels + i, &twoPixels, sizeof twoPixels);
    }
    for (; i < size; i += 4) {
        std::memcpy(pixels + i, source + i, 3);
        pixels[i + 3] = 0xff;
    }
}

} // namespace

Image x11ReadImage(X11Session& session, xcb_drawable_t drawable, int x, int y, int width, int height)
{
    xcb_connection_t* connection = session.connection;
    Image image;
    image.width = width;
    image.height = height;
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    if (X11SharedMemory* shm = session.sharedMemory(bytes)) {
        xcb_generic_error_t* error = nullptr;
        auto reply = x11Required(connection,
                                 xcb_shm_get_image_reply(connection,
                                                         xcb_shm_get_image(connection, drawable, static_cast<std::int16_t>(x),
                                                                           static_cast<std::int16_t>(y),
                                                                           static_cast<std::uint16_t>(width),
                                                                           static_cast<std::uint16_t>(height), ~0u,
                                                                           XCB_IMAGE_FORMAT_Z_PIXMAP, shm->segment, 0),
                                                         &error),
                                 error, "ShmGetImage");
        copyPixels(xcb_get_setup(connection), reply->depth, shm->data, std::min<std::size_t>(reply->size, shm->size), image);
        return image;
    }
    xcb_generic_error_t* error = nullptr;
    auto reply = x11Required(
        connection,
        xcb_get_image_reply(connection,
                            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x),
                                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                                          static_cast<std::uint16_t>(height), ~0u),
                            &error),
        error, "GetImage");
    copyPixels(xcb_get_setup(connection), reply->depth, xcb_get_image_data(reply.get()),
               static_cast<std::size_t>(xcb_get_image_data_length(reply.get())), image);
    return image;
}

void x11DrawCursor(X11Session& session, Image& image, int originX, int originY)
{
    if (!session.hasXFixes)
        return;
    xcb_connection_t* connection = session.connection;
    auto cursor = x11Reply(connection, xcb_xfixes_get_cursor_image_reply(
                                           connection, xcb_xfixes_get_cursor_image(connection), nullptr),
                           nullptr);
    if (!cursor)
        return;
    const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
    const int left = cursor->x - cursor->xhot - originX;
    const int top = cursor->y - cursor->yhot - originY;
    for (int row = 0; row < cursor->height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= image.height)
            continue;
        std::uint8_t* line = image.row(y);
        for (int column = 0; column < cursor->width; ++column) {
            const int x = left + column;
            if (x < 0 || x >= image.width)
                continue;
            // The cursor image is premultiplied ARGB: over = source + destination * (1 - alpha).
            const std::uint32_t source = argb[row * cursor->width + column];
            const std::uint32_t alpha = source >> 24;
            if (alpha == 0)
                continue;
            std::uint8_t* pixel = line + x * 4;
            const std::uint32_t inverse = 255 - alpha;
            pixel[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (source & 0xff) + pixel[0] * inverse / 255));
            pixel[1] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>(255, ((source >> 8) & 0xff) + pixel[1] * inverse / 255));
            pixel[2] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>(255, ((source >> 16) & 0xff) + pixel[2] * inverse / 255));
            pixel[3] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, alpha + pixel[3] * inverse / 255));
        }
    }
}

Image resampleNearest(const Image& image, int width, int height)
{
    Image out;
    out.width = width;
    out.height = height;
    out.bytesPerRow = static_cast<std::size_t>(width) * 4;
    out.pixels.resize(out.bytesPerRow * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const int sourceY = static_cast<int>(static_cast<long long>(y) * image.height / height);
        const std::uint8_t* source = image.row(sourceY);
        std::uint8_t* target = out.row(y);
        for (int x = 0; x < width; ++x) {
            const int sourceX = static_cast<int>(static_cast<long long>(x) * image.width / width);
            std::memcpy(target + x * 4, source + sourceX * 4, 4);
        }
    }
    return out;
}
