#pragma once

#include "imaging/Image.hpp"
#include "platform/x11/X11Connection.hpp"

// Reads a rectangle of a window or pixmap as BGRA, through MIT-SHM when the server shares
// memory with us and plain GetImage otherwise. Pixels of a drawable without an alpha
// channel come out opaque. Throws PlatformError (the server refused, or a pixel layout other
// than 32 bits a pixel) and X11ConnectionLost.
Image x11ReadImage(X11Session& session, xcb_drawable_t drawable, int x, int y, int width, int height);

// Draws the pointer's current image over a picture whose top-left corner is at (originX,
// originY) in root-window pixels. Does nothing without XFixes.
void x11DrawCursor(X11Session& session, Image& image, int originX, int originY);

// The picture at another size, nearest pixel; the capture configuration asks for a size
// and this honours it when it differs from the content's own.
Image resampleNearest(const Image& image, int width, int height);
