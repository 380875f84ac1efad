#include "base/Base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12 bits: one lookup a pair instead of one a character.
struct PairTable {
    std::array<std::array<char, 2>, 4096> pairs{};
    constexpr PairTable()
    {
        for (unsigned bits = 0; bits < 4096; ++bits)
            pairs[bits] = {alphabet[bits >> 6], alphabet[bits & 63]};
    }
};

constexpr PairTable table;

// The same pairs with "/" escaped: two to four characters, stored in four.
struct EscapedPairTable {
    std::array<std::array<char, 4>, 4096> text{};
    std::array<std::uint8_t, 4096> length{};
    constexpr EscapedPairTable()
    {
        for (unsigned bits = 0; bits < 4096; ++bits) {
            std::uint8_t at = 0;
            for (const char c : {alphabet[bits >> 6], alphabet[bits & 63]}) {
                if (c == '/')
                    text[bits][at++] = '\\';
                text[bits][at++] = c;
            }
            length[bits] = at;
        }
    }
};

constexpr EscapedPairTable escapedTable;

// The last group of one or two bytes, padded; "/" escaped when `escaped`.
size_t writeLastGroup(const unsigned char* data, size_t left, char* write, bool escaped)
{
    const bool two = left > 1;
    const unsigned triple = (data[0] << 16) | (two ? data[1] << 8 : 0);
    const char text[4] = {alphabet[(triple >> 18) & 63], alphabet[(triple >> 12) & 63],
                          two ? alphabet[(triple >> 6) & 63] : '=', '='};
    size_t written = 0;
    for (const char c : text) {
        if (escaped && c == '/')
            write[written++] = '\\';
        write[written++] = c;
    }
    return written;
}


} // namespace

void appendBase64(const unsigned char* data, size_t size, std::string& out)
{
    const size_t start = out.size();
    out.resize(start + (size + 2) / 3 * 4);
    char* write = out.data() + start;
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned triple = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        std::memcpy(write, table.pairs[triple >> 12].data(), 2);
        std::memcpy(write + 2, table.pairs[triple & 0xfff].data(), 2);
        write += 4;
    }
    if (i < size)
        writeLastGroup(data + i, size - i, write, false);
}

namespace {

// The groups from `from` to `to` (whole groups of three bytes), with the escaped pairs: the
// length they take, and writing them (each half stored as four characters, the write moving
// on by its length, so up to two characters past the end are overwritten).
size_t escapedLength(const unsigned char* data, size_t from, size_t to)
{
    size_t length = 0;
    for (size_t i = from; i < to; i += 3) {
        const unsigned triple = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        length += escapedTable.length[triple >> 12] + escapedTable.length[triple & 0xfff];
    }
    return length;
}

char* writeEscaped(const unsigned char* data, size_t from, size_t to, char* write)
{
    for (size_t i = from; i < to; i += 3) {
        const unsigned triple = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        std::memcpy(write, escapedTable.text[triple >> 12].data(), 4);
        write += escapedTable.length[triple >> 12];
        std::memcpy(write, escapedTable.text[triple & 0xfff].data(), 4);
        write += escapedTable.length[triple & 0xfff];
    }
    return write;
}

#if defined(__x86_64__) || defined(__i386__)
#define VELMAR_BASE64_VECTORS 1

// Thirty-two characters from twenty-four bytes (read as the sixteen at `data` and the sixteen
// at `data` + 12), with the byte shuffle of AVX2, in each half: each group's three bytes are
// spread over four lanes, the four six-bit values are cut out with two multiplications, and
// each value becomes its character by adding the offset of its range of the alphabet,
// picked by a table lookup.
__attribute__((target("avx2"))) inline __m256i encodeTwentyFour(const unsigned char* data)
{
    __m256i in = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 12)), 1);
    in = _mm256_shuffle_epi8(in, _mm256_broadcastsi128_si256(
                                     _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1)));
    const __m256i first
        = _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
    const __m256i second
        = _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(first, second);
    // 0 for 26..51, 1..12 for 52..63, 13 for 0..25.
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    range = _mm256_or_si256(range, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), values),
                                                    _mm256_set1_epi8(13)));
    const __m256i offsets = _mm256_broadcastsi128_si256(
        _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                      '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0));
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
}

__attribute__((target("avx2"))) inline unsigned slashesOf(__m256i text)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('/'))));
}

__attribute__((target("avx2,popcnt"))) size_t slashesInVectors(const unsigned char* data, size_t whole)
{
    size_t slashes = 0;
    for (size_t i = 0; i < whole; i += 24)
        slashes += static_cast<size_t>(__builtin_popcount(slashesOf(encodeTwentyFour(data + i))));
    return slashes;
}

// For each pattern of slashes among eight characters, the byte shuffle that writes them with
// a backslash before each slash: indexes 0 to 7 are the characters, 8 a backslash.
struct EscapeShuffles {
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> order{};
    constexpr EscapeShuffles()
    {
        for (unsigned slashes = 0; slashes < 256; ++slashes) {
            unsigned at = 0;
            for (std::uint8_t i = 0; i < 8; ++i) {
                if (slashes >> i & 1)
                    order[slashes][at++] = 8;
                order[slashes][at++] = i;
            }
        }
    }
};

constexpr EscapeShuffles escapeShuffles;

__attribute__((target("avx2"))) inline __m128i shuffleOf(unsigned slashes)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(escapeShuffles.order[slashes].data()));
}

// Writes thirty-two characters a turn, in four pieces of eight, each through the shuffle that
// puts a backslash before its slashes: no branch on where slashes fall (a quarter of the
// sixteens have one, at random). Each piece stores sixteen bytes and moves on by eight and
// one a slash, so up to 16 bytes past the end are overwritten.
__attribute__((target("avx2,popcnt"))) char* writeVectors(const unsigned char* data, size_t whole, char* write)
{
    const __m256i backslashes = _mm256_set1_epi8('\\');
    for (size_t i = 0; i < whole; i += 24) {
        const __m256i text = encodeTwentyFour(data + i);
        const unsigned slashes = slashesOf(text);
        // In each half: its first eight characters, then its last eight, each followed by
        // eight backslashes for the shuffle to pick from.
        const __m256i firsts = _mm256_shuffle_epi8(
            _mm256_unpacklo_epi64(text, backslashes),
            _mm256_setr_m128i(shuffleOf(slashes & 0xff), shuffleOf(slashes >> 16 & 0xff)));
        const __m256i lasts = _mm256_shuffle_epi8(
            _mm256_unpackhi_epi64(text, backslashes),
            _mm256_setr_m128i(shuffleOf(slashes >> 8 & 0xff), shuffleOf(slashes >> 24)));
        const unsigned pieces[4] = {slashes & 0xff, slashes >> 8 & 0xff, slashes >> 16 & 0xff, slashes >> 24};
        const __m128i written[4] = {_mm256_castsi256_si128(firsts), _mm256_castsi256_si128(lasts),
                                    _mm256_extracti128_si256(firsts, 1), _mm256_extracti128_si256(lasts, 1)};
        for (int piece = 0; piece < 4; ++piece) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(write), written[piece]);
            write += 8 + __builtin_popcount(pieces[piece]);
        }
    }
    return write;
}

bool hasVectors()
{
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return has;
}
#endif

} // namespace

void appendBase64EscapingSlashes(const unsigned char* data, size_t size, std::string& out, size_t roomAfter)
{
    // The exact length first, so that the text is written once into place, then the text.
    // Twenty-four bytes at a time where the processor has the vector instructions for it (each
    // turn reads twenty-eight), the rest through the table of escaped pairs; spare room at the
    // end takes the overhang of whole stores and is cut off after.
    const size_t whole = size / 3 * 3;
    size_t vectors = 0;
#ifdef VELMAR_BASE64_VECTORS
    if (hasVectors() && size >= 28)
        vectors = (size - 4) / 24 * 24;
#endif
    size_t length = vectors / 3 * 4 + escapedLength(data, vectors, whole);
#ifdef VELMAR_BASE64_VECTORS
    if (vectors > 0)
        length += slashesInVectors(data, vectors);
#endif
    constexpr size_t overhang = 32;
    const size_t start = out.size();
    const size_t room = start + length + (whole < size ? 8 : 0) + overhang;
    out.reserve(room + roomAfter);
    out.resize(room);
    char* write = out.data() + start;
#ifdef VELMAR_BASE64_VECTORS
    if (vectors > 0)
        write = writeVectors(data, vectors, write);
#endif
    write = writeEscaped(data, vectors, whole, write);
    if (whole < size)
        write += writeLastGroup(data + whole, size - whole, write, true);
    out.resize(static_cast<size_t>(write - out.data()));
}

std::string base64(const unsigned char* data, size_t size)
{
    std::string out;
    appendBase64(data, size, out);
    return out;
}
