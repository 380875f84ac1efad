#pragma once

#include "imaging/Image.hpp"
#include "platform/x11/X11Connection.hpp"

#include <xcb/xfixes.h>

#include <optional>
#include <vector>

// Reads a rectangle of a window or pixmap as BGRA, through MIT-SHM when the server shares
// memory with us and plain GetImage otherwise. Pixels of a drawable without an alpha
// channel come out opaque. Throws PlatformError (the server refused, or a pixel layout other
// than 32 bits a pixel) and X11ConnectionLost.
Image x11ReadImage(X11Session& session, xcb_drawable_t drawable, int x, int y, int width, int height);

// The pointer's current image (premultiplied ARGB, as XFixes gives it) and where it lies in
// a picture whose top-left corner is at (originX, originY) in root-window pixels.
struct X11Pointer {
    X11Reply<xcb_xfixes_get_cursor_image_reply_t> image;
    int left = 0;
    int top = 0;

    bool coversRow(int y) const { return y >= top && y < top + image->height; }
    // Draws the pointer's part of picture row `y` over `row`, `width` pixels long.
    void drawRow(int y, std::uint8_t* row, int width) const;
};

// Nothing without XFixes, or when the server has no pointer image to give.
std::optional<X11Pointer> x11Pointer(X11Session& session, int originX, int originY);

// Draws the pointer's current image over a picture whose top-left corner is at (originX,
// originY) in root-window pixels. Does nothing without XFixes.
void x11DrawCursor(X11Session& session, Image& image, int originX, int originY);

// x11ReadImage, with the pointer drawn in when given, made in the memory of `picture`, which
// holds the last picture of the same rectangle (or anything else). When it held a picture of
// this size, each row is compared as it is read, only rows that differ are written, and the
// result marks them (one entry a row, non-zero where changed); otherwise the picture is made
// anew and the result is empty. The pointer's rows are compared as drawn.
std::vector<std::uint8_t> x11ReadImageOver(X11Session& session, xcb_drawable_t drawable, int x, int y, int width,
                                           int height, const X11Pointer* pointer, Image& picture);

// The picture at another size, nearest pixel; the capture configuration asks for a size
// and this honours it when it differs from the content's own.
Image resampleNearest(const Image& image, int width, int height);
