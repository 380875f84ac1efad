#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Compresses one strip of filtered PNG rows into deflate blocks, so that strips compressed
// apart (on different cores) join into one deflate stream by plain concatenation: every
// strip but the last ends on a byte boundary with an empty stored block (what a sync flush
// writes), the last one ends with the final block.
//
// Made for screens, fast rather than small: three kinds of repeat are looked for, each a
// cheap test at the current byte: a run of one byte (flat colour after the Sub filter), the
// same bytes one row up (which may lie in the strip before: the decoder has it), and an
// earlier string found through a hash table (text repeats its letters). Where nothing
// repeats, as in a photograph's noise, the search takes ever longer strides, so noise costs
// little more than its Huffman coding. Each block gets its own Huffman codes, and a block
// that would not shrink is stored.
//
// One compressor serves one thread; it keeps its tables between strips.
class StripCompressor {
public:
    struct Strip {
        // The filtered bytes: `history` bytes that the strip may refer back to (the rows
        // just before it, as the decoder will have them), then the strip's own `length`.
        const std::uint8_t* data = nullptr;
        std::size_t history = 0;
        std::size_t length = 0;
        // The length of a filtered row, filter byte included.
        std::size_t rowLength = 0;
        bool last = false;
    };

    // The most bytes write() can produce for a strip of `length` bytes, with room for its
    // 8-byte stores past the end.
    static std::size_t bound(std::size_t length, std::size_t rowLength);

    // Compresses the strip into `out`, which holds at least bound() bytes. Returns the number
    // of bytes of the stream.
    std::size_t write(const Strip& strip, std::uint8_t* out);

    // A block's Huffman codes cover about this many bytes; a strip holds whole rows, so its
    // blocks do too.
    static constexpr std::size_t blockBytes = 128 * 1024;

    // A repeat found in a block: so many literal bytes, then `length` bytes that repeat those
    // `distance` bytes back. The block's last entry has only literals (length 0).
    struct Match {
        std::uint32_t literals;
        std::uint16_t length;
        std::uint16_t distance;
    };

private:
    // Kept between strips for their memory: the last position of each hashed string, and
    // the current block's repeats.
    std::vector<std::int32_t> recent_;
    std::vector<Match> matches_;
};
