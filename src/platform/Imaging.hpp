#pragma once

#include "imaging/Image.hpp"
#include "imaging/PictureCache.hpp"

#include <cstdint>
#include <vector>

// What a picture is taken of: pictures of one source are compared with each other to find
// what changed, never with another source's.
struct PictureSource {
    enum class Kind { display, window };
    Kind kind = Kind::display;
    std::uint32_t id = 0;
    bool pointer = false; // the pointer drawn in
    friend bool operator==(const PictureSource&, const PictureSource&) = default;
};

// A picture's file as encodeKept() gives it: its bytes, or where the encoder keeps the text
// of what it did not redo, the bytes' Base64 text with "/" escaped, as answers write it.
struct EncodedPicture {
    std::vector<std::uint8_t> bytes;
    bool base64Text = false;
};

// The picture work of screenshots: scaling and the two file encoders.
//
// Every call blocks the caller's thread for as long as the work takes (milliseconds for a
// full screen); an implementation may share the work out over the cores meanwhile. The
// plain calls keep no state between them; the kept-picture calls below keep the last
// picture's work for the next. Pictures are taken as
// opaque: the alpha byte is carried through scaling but no encoder writes it, because X11
// leaves that byte undefined for the usual 24-bit visuals.
//
// Each call returns a new value owned by the caller and throws PlatformError when the work
// cannot be done (a size the library refuses, memory); a failed call leaves nothing behind.
class Imaging {
public:
    // The encoder quality factor is given as 0.3 to 1.0; values outside are clamped.
    static constexpr double minimumQuality = 0.3;
    static constexpr double maximumQuality = 1.0;
    // The largest picture resize() makes: 400 MB of pixels, twice the largest pixel budget.
    // An enlargement to 20,000 x 20,000 would need 1.6 GB before encoding and several more
    // while encoding, enough to have the process killed for memory.
    static constexpr std::int64_t maximumPixels = 100'000'000;

    virtual ~Imaging() = default;

    // The whole picture stretched to exactly width x height pixels (both at least 1),
    // enlarging or shrinking, aspect ratio not kept. High quality: shrinking averages what
    // each new pixel covers, so fine text does not alias, and colours are not shifted.
    // Refuses a size of more than maximumPixels.
    virtual Image resize(const Image& image, int width, int height) = 0;

    // A small picture of width x height whose every pixel is the average of the area of
    // the source it covers, whatever the aspect ratio. Cheap: one pass over the source.
    virtual Image thumbnail(const Image& image, int width, int height) = 0;

    // PNG file bytes: 8-bit RGB without alpha (colour type 2), not interlaced.
    virtual std::vector<std::uint8_t> encodePNG(const Image& image) = 0;

    // JPEG file bytes. `quality` 0.3 to 1.0 maps linearly onto the encoder's 30 to 100.
    virtual std::vector<std::uint8_t> encodeJPEG(const Image& image, double quality) = 0;

    // Kept pictures. A parent looks at the screen again and again, and between two looks
    // little of it changes. keep() makes a capture the current picture; keptThumbnail() and
    // encodeKept() give exactly what thumbnail(), and resize() (when the size differs) then
    // encodePNG() or encodeJPEG(), give for it, but may redo only what the rows that differ
    // from the last picture of the same source reach. The work stays kept until
    // releaseKept() (the program calls it when requests have stopped for a while). These
    // calls belong to one caller at a time: the one that makes pictures.
    //
    // keep() returns the current picture, valid until the next keep() or releaseKept(), or
    // until encodeKept() has encoded a picture too large to keep (PictureCache).
    //
    // lendKept() hands out the kept capture of `source` for the next capture to be made
    // over (captureImageOver); empty when there is none. The next keep() of the source
    // takes that capture back with the rows it found changed (`comparedRows`, one a row),
    // and compares nothing again; with no rows given, keep() compares for itself.
    virtual Image lendKept(const PictureSource& source) = 0;
    virtual const Image& keep(const PictureSource& source, Image captured,
                              const std::vector<std::uint8_t>* comparedRows) = 0;
    virtual Image keptThumbnail(int width, int height) = 0;
    virtual EncodedPicture encodeKept(int width, int height, PictureFormat format, double quality) = 0;
    virtual void releaseKept() = 0;
};
