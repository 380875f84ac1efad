#pragma once

#include "imaging/Image.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// A PNG file of an opaque picture: 8-bit RGB (colour type 2), every row with the Sub filter,
// one zlib stream made of strips of rows compressed at once on up to `threads` threads
// (StripCompressor). The file's bytes depend on the picture only, not on the threads.
// Throws PlatformError when the picture is empty or too large; std::bad_alloc when memory
// runs out.
std::vector<std::uint8_t> writePNG(const Image& image, std::size_t threads);

struct PNGStrip;

// writePNG that keeps its compressed strips for the next picture of the same size, and
// compresses again only the strips that read a changed row. The file is the same, byte for
// byte, as writePNG's of the same picture.
class PNGStripWriter {
public:
    PNGStripWriter();
    ~PNGStripWriter();
    PNGStripWriter(PNGStripWriter&&) noexcept;
    PNGStripWriter& operator=(PNGStripWriter&&) noexcept;

    // `changedRows`, one entry per row of `image`, marks (non-zero) the rows that differ from
    // the picture of the last write; without it, or when the size differs from the last
    // write's, every strip is made. Throws as writePNG; after a throw nothing is kept.
    std::vector<std::uint8_t> write(const Image& image, const std::vector<std::uint8_t>* changedRows,
                                    std::size_t threads);
    // The same file as its Base64 text, "/" escaped as answers write it
    // (appendBase64EscapingSlashes): each kept strip keeps its text, so only the text of the
    // strips made again is made again, on the strips' own threads. Strips kept by write()
    // are not reused here, nor the other way round.
    std::vector<std::uint8_t> writeBase64Text(const Image& image, const std::vector<std::uint8_t>* changedRows,
                                              std::size_t threads);
    // Gives back the kept strips.
    void clear();

private:
    // Brings the strips up to date; returns the Adler-32 of the whole stream.
    std::uint32_t makeStrips(const Image& image, const std::vector<std::uint8_t>* changedRows, std::size_t threads,
                             bool asText);

    std::vector<PNGStrip> strips_;
    int width_ = 0;
    int height_ = 0;
    bool asText_ = false;
};

// A strip holds whole rows of about this many filtered bytes (1 + 3 x width a row): one
// Huffman block's worth (StripCompressor::blockBytes), so that a strip's end costs the file
// no more than a block's would. Small strips are what a small change costs again: 22 rows
// of a 1920-wide screen. A full screen makes about fifty, enough to keep every core busy to
// the end.
inline constexpr std::size_t pngStripBytes = 128 * 1024;
