#pragma once

#include <cstdint>
#include <span>

// Huffman codes as deflate wants them: lengths of at most `limit` bits that form a complete
// code (the decoder of the zlib format refuses an incomplete one), and canonical codes.

// The code length of every symbol from how often it occurs; symbols that never occur get
// length 0. With fewer than two symbols in use, two symbols get one bit each, so the code
// is still complete. `lengths` has the size of `frequencies`; `limit` is at least
// ceil(log2(number of symbols)).
void huffmanLengths(std::span<const std::uint32_t> frequencies, int limit, std::span<std::uint8_t> lengths);

// The canonical code of every symbol of non-zero length, its bits reversed, because deflate
// sends a code's first bit in the lowest bit of the stream. `codes` has the size of `lengths`.
void canonicalCodes(std::span<const std::uint8_t> lengths, std::span<std::uint16_t> codes);
