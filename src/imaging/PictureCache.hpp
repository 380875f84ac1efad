#pragma once

#include "imaging/Image.hpp"
#include "imaging/JPEGWriter.hpp"
#include "imaging/PNGWriter.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

enum class PictureFormat { png, jpeg };

// The rows of `after` that differ from `before`, one entry a row, non-zero where changed,
// compared on up to `threads` threads; empty when the two are not of one size.
std::vector<std::uint8_t> rowsThatDiffer(const Image& before, const Image& after, std::size_t threads);

// Makes `earlier` equal to `current`, writing only the rows that differ, and returns them
// marked (one entry a row, non-zero where the row differed), compared on up to `threads`
// threads. When `earlier` is not a picture of `current`'s size and row length, it becomes a
// whole copy of `current` (in its own memory when that is large enough) and the result is
// empty: every row counts as changed. For a capture kept by its framework, made over the
// picture lent to it without a second copy of the whole.
std::vector<std::uint8_t> copyRowsThatDiffer(const Image& current, Image& earlier, std::size_t threads);

// The work of the last picture of one source, kept so that the next picture of it redoes only
// what its changed rows reach: the black test's thumbnail, the shrink to the output size and
// the encoder's bands (JPEG) or strips (PNG). Every result equals, byte for byte, what the
// whole work gives for the new capture.
//
// What changed is decided by the pixels alone, never by a report of what was drawn: a
// client that draws without reporting it (as some GL paths do) must not leave a stale row.
// Each new capture is compared row by row with the kept one. A capture can do that itself,
// more cheaply, as it is made: lend() hands it the kept picture to be overwritten, and the
// capture tells which rows it found different (a row it did not write is the lent one's).
// Captures of different sources, or of another size, are never compared: everything is
// made anew.
//
// Memory: one capture, one thumbnail, one shrunk picture and one encoded file's bands or
// strips, for the last source and output kind only; clear() gives it all back. Comparing
// needs the last capture and the new one at once, which for the largest screens would add a
// whole capture to a picture's peak: captures above largestKeptCapture are worked on whole
// and given back once encoded, as if nothing were kept.
//
// Not thread-safe: one caller at a time. The work itself is spread over `threads` threads.
class PictureCache {
public:
    // The kept capture of `source` (any number that tells sources apart), taken out for a
    // capture to be made over it; empty when none is kept or the kept one is of another
    // source. The work made from it stays, for take() to bring up to date.
    Image lend(std::uint64_t source);

    // Makes `captured` the current picture of `source`. `comparedRows`, when given, is the
    // capture's own comparison with the picture lent to it, one entry per row, non-zero where
    // the row differs; it is believed only for a capture over the picture lent last, of its
    // size, and then nothing is compared again. Returns how many rows differ from the last
    // capture of the source (all of them when there was none to compare with).
    std::size_t take(std::uint64_t source, Image captured, const std::vector<std::uint8_t>* comparedRows,
                     std::size_t threads);

    // The current picture; empty before take() and after clear().
    const Image& current() const { return capture_; }

    // The current picture shrunk to width x height (not larger than it), as areaShrink makes it.
    Image thumbnail(int width, int height, std::size_t threads);

    // The current picture at width x height (not larger than it: shrunk as areaShrink makes
    // it, or as captured at its own size), encoded as writePNG or writeJPEG at `quality`
    // (1 to 100) would. Throws what they throw; after a throw nothing of the output is kept.
    std::vector<std::uint8_t> encode(int width, int height, PictureFormat format, int quality, std::size_t threads);

    // encode()'s PNG file as its Base64 text, "/" escaped as answers write it, where the
    // text is kept too: for a current picture that is kept (largestKeptCapture), whose
    // strips then keep their text, so that only the text of strips made again is made again.
    // Nothing for a picture that is not kept, whose file is better written once, by encode().
    std::optional<std::vector<std::uint8_t>> encodePNGAsBase64Text(int width, int height, std::size_t threads);

    void clear();

    // 12 MB: 1920 x 1200 and 2048 x 1536 are kept, 2560 x 1440 and larger are not.
    static constexpr std::size_t largestKeptCapture = 12 * 1024 * 1024;

private:
    std::vector<std::uint8_t> make(int width, int height, PictureFormat format, int quality, std::size_t threads,
                                   bool asText);

    // A result made from the capture, with the capture's rows that changed since it was made.
    struct Made {
        bool made = false;
        std::vector<std::uint8_t> staleRows;
        void markMade(std::size_t rows) { made = true, staleRows.assign(rows, 0); }
    };

    std::uint64_t source_ = 0;
    Image capture_;
    bool keeping_ = false; // capture_ is small enough to be kept for the next picture
    // The size of the capture lent out (lend()), until take() brings one back: the work kept
    // is of a picture of that size, which the capture made over it compares with.
    int lentWidth_ = 0;
    int lentHeight_ = 0;

    Made thumbnailMade_;
    Image thumbnail_;

    Made outputMade_;
    int outputWidth_ = 0;
    int outputHeight_ = 0;
    PictureFormat outputFormat_ = PictureFormat::jpeg;
    int outputQuality_ = 0;
    Image shrunk_;
    JPEGBandWriter jpeg_;
    PNGStripWriter png_;
};
