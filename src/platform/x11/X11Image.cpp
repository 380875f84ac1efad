#include "platform/x11/X11Image.hpp"

#include <xcb/shm.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Depth 24 leaves the fourth byte undefined; a picture without alpha is opaque.
constexpr std::uint64_t opaqueWord()
{
    return std::bit_cast<std::uint64_t>(std::array<std::uint8_t, 8>{0, 0, 0, 0xff, 0, 0, 0, 0xff});
}

// One row of the server's pixels (32 bits a pixel, least significant byte first) as BGRA.
// The alpha is set in the pass that copies, two pixels a word (vector code): a copy and then
// a second pass over the picture cost as much again as the copy.
void copyRow(const std::uint8_t* source, std::uint8_t* row, std::size_t length, bool opaque)
{
    if (!opaque) {
        std::memcpy(row, source, length);
        return;
    }
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t twoPixels;
        std::memcpy(&twoPixels, source + i, sizeof twoPixels);
        twoPixels |= opaqueWord();
        std::memcpy(row + i, &twoPixels, sizeof twoPixels);
    }
    for (; i < length; i += 4) {
        std::memcpy(row + i, source + i, 3);
        row[i + 3] = 0xff;
    }
}

// Whether copyRow would leave `row` as it is.
bool sameRow(const std::uint8_t* source, const std::uint8_t* row, std::size_t length, bool opaque)
{
    if (!opaque)
        return std::memcmp(source, row, length) == 0;
    std::size_t i = 0;
#ifdef __SSE2__
    // Sixty-four bytes a turn, which is as far as a changed row is read past its change.
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
    const auto differs = [&](std::size_t at) {
        const __m128i made = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + at)), alpha);
        return _mm_xor_si128(made, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + at)));
    };
    for (; i + 64 <= length; i += 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(differs(i), differs(i + 16)),
                                         _mm_or_si128(differs(i + 32), differs(i + 48)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xffff)
            return false;
    }
#endif
    for (; i + 8 <= length; i += 8) {
        std::uint64_t made, kept;
        std::memcpy(&made, source + i, sizeof made);
        std::memcpy(&kept, row + i, sizeof kept);
        if ((made | opaqueWord()) != kept)
            return false;
    }
    for (; i < length; i += 4) {
        if (std::memcmp(source + i, row + i, 3) != 0 || row[i + 3] != 0xff)
            return false;
    }
    return true;
}

// The server's pixels of a rectangle as they arrived: in the shared segment, or in a reply.
struct ServerPixels {
    X11Reply<xcb_get_image_reply_t> reply; // holds the bytes when memory is not shared
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    std::uint8_t depth = 0;
};

ServerPixels readServerPixels(X11Session& session, xcb_drawable_t drawable, int x, int y, int width, int height)
{
    xcb_connection_t* connection = session.connection;
    ServerPixels pixels;
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
        pixels.data = shm->data;
        pixels.length = std::min<std::size_t>(reply->size, shm->size);
        pixels.depth = reply->depth;
        return pixels;
    }
    xcb_generic_error_t* error = nullptr;
    pixels.reply = x11Required(
        connection,
        xcb_get_image_reply(connection,
                            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(x),
                                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                                          static_cast<std::uint16_t>(height), ~0u),
                            &error),
        error, "GetImage");
    pixels.data = xcb_get_image_data(pixels.reply.get());
    pixels.length = static_cast<std::size_t>(xcb_get_image_data_length(pixels.reply.get()));
    pixels.depth = pixels.reply->depth;
    return pixels;
}

// Refuses what this reads wrong: a pixel layout other than 32 bits, or fewer bytes than the
// rectangle needs.
void checkServerPixels(const xcb_setup_t* setup, const ServerPixels& pixels, int width, int height)
{
    if (bitsPerPixel(setup, pixels.depth) != 32)
        throw PlatformError("X11", 0,
                            "the X server's pixel layout of depth " + std::to_string(pixels.depth) + " is not supported");
    if (pixels.length < static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(height))
        throw PlatformError("X11", 0, "the X server returned a short image");
}

// The server's pixels as a new picture of width x height.
void copyPixels(const xcb_setup_t* setup, const ServerPixels& server, Image& image)
{
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 4;
    image.bytesPerRow = rowBytes;
    const std::size_t size = rowBytes * static_cast<std::size_t>(image.height);
    // resize, not assign: the bytes are written once, below, in the pass that reads them.
    image.pixels.resize(size);
    std::uint8_t* pixels = image.pixels.data();
    const std::uint8_t* source = server.data;
    if (setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST) {
        for (std::size_t i = 0; i < size; i += 4) {
            pixels[i] = source[i + 3];
            pixels[i + 1] = source[i + 2];
            pixels[i + 2] = source[i + 1];
            pixels[i + 3] = server.depth != 32 ? 0xff : source[i];
        }
        return;
    }
    copyRow(source, pixels, size, server.depth != 32);
}

} // namespace

Image x11ReadImage(X11Session& session, xcb_drawable_t drawable, int x, int y, int width, int height)
{
    const ServerPixels server = readServerPixels(session, drawable, x, y, width, height);
    const xcb_setup_t* setup = xcb_get_setup(session.connection);
    checkServerPixels(setup, server, width, height);
    Image image;
    image.width = width;
    image.height = height;
    copyPixels(setup, server, image);
    return image;
}

namespace {

// Writes the server's row into the kept one where they differ, the pointer drawn in where it
// covers the row (the row as it will be is what is compared); true when it differed.
class RowComparer {
public:
    RowComparer(const X11Pointer* pointer, std::size_t rowBytes, int width)
        : pointer_(pointer), rowBytes_(rowBytes), width_(width)
    {
    }

    bool update(int row, const std::uint8_t* source, std::uint8_t* kept, bool opaque)
    {
        if (pointer_ && pointer_->coversRow(row)) {
            drawn_.resize(rowBytes_);
            copyRow(source, drawn_.data(), rowBytes_, opaque);
            pointer_->drawRow(row, drawn_.data(), width_);
            if (std::memcmp(drawn_.data(), kept, rowBytes_) == 0)
                return false;
            std::memcpy(kept, drawn_.data(), rowBytes_);
            return true;
        }
        if (sameRow(source, kept, rowBytes_, opaque))
            return false;
        copyRow(source, kept, rowBytes_, opaque);
        return true;
    }

private:
    const X11Pointer* pointer_;
    std::size_t rowBytes_;
    int width_;
    std::vector<std::uint8_t> drawn_;
};

// The server copies a rectangle into the shared segment in bands, all asked for at once, so
// that it copies one band while the rows of the band before are compared here: each side's
// pass over the megabytes waits for the other's no longer than a band. The bands are asked
// for under a grab of the server, released in the same breath, so that no other client draws
// between two of them: the picture is of one moment, as a single request's would be. A reply
// that fails throws with the picture part written, which a caller then must not keep.
std::vector<std::uint8_t> readBandsOver(X11Session& session, X11SharedMemory& shm, xcb_drawable_t drawable, int x,
                                        int y, int width, int height, const X11Pointer* pointer, Image& picture)
{
    constexpr int bands = 8;
    xcb_connection_t* connection = session.connection;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const int bandRows = (height + bands - 1) / bands;
    struct Band {
        xcb_shm_get_image_cookie_t cookie;
        int top;
        int rows;
        bool answered = false;
    };
    std::vector<Band> asked;
    xcb_grab_server(connection);
    for (int top = 0; top < height; top += bandRows) {
        const int rows = std::min(bandRows, height - top);
        asked.push_back({xcb_shm_get_image(connection, drawable, static_cast<std::int16_t>(x),
                                           static_cast<std::int16_t>(y + top), static_cast<std::uint16_t>(width),
                                           static_cast<std::uint16_t>(rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                           shm.segment, static_cast<std::uint32_t>(top * rowBytes)),
                         top, rows});
    }
    xcb_ungrab_server(connection);
    xcb_flush(connection);
    // Replies not read because an earlier one failed are dropped, or they would wait in the
    // connection for ever.
    struct Unread {
        xcb_connection_t* connection;
        std::vector<Band>& asked;
        ~Unread()
        {
            for (const Band& band : asked)
                if (!band.answered)
                    xcb_discard_reply(connection, band.cookie.sequence);
        }
    } unread{connection, asked};

    std::vector<std::uint8_t> changed(static_cast<std::size_t>(height), 0);
    RowComparer comparer(pointer, rowBytes, width);
    for (Band& band : asked) {
        band.answered = true;
        xcb_generic_error_t* error = nullptr;
        const auto reply = x11Required(connection, xcb_shm_get_image_reply(connection, band.cookie, &error), error,
                                       "ShmGetImage");
        ServerPixels pixels;
        pixels.data = shm.data + static_cast<std::size_t>(band.top) * rowBytes;
        pixels.length = std::min<std::size_t>(reply->size, shm.size - static_cast<std::size_t>(band.top) * rowBytes);
        pixels.depth = reply->depth;
        checkServerPixels(setup, pixels, width, band.rows);
        const bool opaque = pixels.depth != 32;
        for (int row = band.top; row < band.top + band.rows; ++row)
            changed[static_cast<std::size_t>(row)] = comparer.update(
                row, shm.data + static_cast<std::size_t>(row) * rowBytes, picture.row(row), opaque);
    }
    return changed;
}

} // namespace

std::vector<std::uint8_t> x11ReadImageOver(X11Session& session, xcb_drawable_t drawable, int x, int y, int width,
                                           int height, const X11Pointer* pointer, Image& picture)
{
    const xcb_setup_t* setup = xcb_get_setup(session.connection);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    const bool comparable = picture.width == width && picture.height == height && picture.bytesPerRow == rowBytes
        && picture.pixels.size() == rowBytes * static_cast<std::size_t>(height)
        && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    if (comparable)
        if (X11SharedMemory* shm = session.sharedMemory(rowBytes * static_cast<std::size_t>(height)))
            return readBandsOver(session, *shm, drawable, x, y, width, height, pointer, picture);

    const ServerPixels server = readServerPixels(session, drawable, x, y, width, height);
    checkServerPixels(setup, server, width, height);
    if (!comparable) {
        picture.width = width;
        picture.height = height;
        copyPixels(setup, server, picture);
        if (pointer)
            for (int row = 0; row < height; ++row)
                if (pointer->coversRow(row))
                    pointer->drawRow(row, picture.row(row), width);
        return {};
    }
    const bool opaque = server.depth != 32;
    std::vector<std::uint8_t> changed(static_cast<std::size_t>(height), 0);
    RowComparer comparer(pointer, rowBytes, width);
    for (int row = 0; row < height; ++row)
        changed[static_cast<std::size_t>(row)] =
            comparer.update(row, server.data + static_cast<std::size_t>(row) * rowBytes, picture.row(row), opaque);
    return changed;
}

std::optional<X11Pointer> x11Pointer(X11Session& session, int originX, int originY)
{
    if (!session.hasXFixes)
        return std::nullopt;
    xcb_connection_t* connection = session.connection;
    X11Pointer pointer;
    pointer.image = x11Reply(connection,
                             xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr),
                             nullptr);
    if (!pointer.image)
        return std::nullopt;
    pointer.left = pointer.image->x - pointer.image->xhot - originX;
    pointer.top = pointer.image->y - pointer.image->yhot - originY;
    return pointer;
}

void X11Pointer::drawRow(int y, std::uint8_t* line, int width) const
{
    const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(image.get()) + (y - top) * image->width;
    for (int column = 0; column < image->width; ++column) {
        const int x = left + column;
        if (x < 0 || x >= width)
            continue;
        // The cursor image is premultiplied ARGB: over = source + destination * (1 - alpha).
        const std::uint32_t source = argb[column];
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

void x11DrawCursor(X11Session& session, Image& image, int originX, int originY)
{
    const auto pointer = x11Pointer(session, originX, originY);
    if (!pointer)
        return;
    for (int y = std::max(0, pointer->top); y < std::min(image.height, pointer->top + pointer->image->height); ++y)
        pointer->drawRow(y, image.row(y), image.width);
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
