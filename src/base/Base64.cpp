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

// Sixteen characters from twelve bytes (of the sixteen at `data`), with the byte shuffle of
// SSSE3: each group's three bytes are spread over four lanes, the four six-bit values are
// cut out with two multiplications, and each value becomes its character by adding the
// offset of its range of the alphabet, picked by a table lookup.
__attribute__((target("ssse3"))) inline __m128i encodeTwelve(const unsigned char* data)
{
    __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m128i first = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i second = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i values = _mm_or_si128(first, second);
    // 0 for 26..51, 1..12 for 52..63, 13 for 0..25.
    __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
    range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
    const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm_add_epi8(values, _mm_shuffle_epi8(offsets, range));
}

__attribute__((target("ssse3,popcnt"))) size_t slashesInVectors(const unsigned char* data, size_t whole)
{
    size_t slashes = 0;
    for (size_t i = 0; i < whole; i += 12) {
        const __m128i text = encodeTwelve(data + i);
        slashes += static_cast<size_t>(__builtin_popcount(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('/'))))));
    }
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

// Eight characters (the low half of `characters`, whose high half is backslashes) with their
// slashes escaped: sixteen bytes stored, the write moving on by eight and one a slash.
__attribute__((target("ssse3,popcnt"))) inline char* writeEight(__m128i characters, unsigned slashes, char* write)
{
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(escapeShuffles.order[slashes].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(write), _mm_shuffle_epi8(characters, order));
    return write + 8 + __builtin_popcount(slashes);
}

// Writes sixteen characters a turn, in two halves of eight, each through the shuffle that
// puts a backslash before its slashes: no branch on where slashes fall (a quarter of the
// turns have one, at random). Up to 16 bytes past the end are overwritten.
__attribute__((target("ssse3,popcnt"))) char* writeVectors(const unsigned char* data, size_t whole, char* write)
{
    const __m128i backslashes = _mm_set1_epi8('\\');
    for (size_t i = 0; i < whole; i += 12) {
        const __m128i encoded = encodeTwelve(data + i);
        const auto slashes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(encoded, _mm_set1_epi8('/'))));
        write = writeEight(_mm_unpacklo_epi64(encoded, backslashes), slashes & 0xff, write);
        write = writeEight(_mm_unpackhi_epi64(encoded, backslashes), slashes >> 8, write);
    }
    return write;
}

bool hasVectors()
{
    static const bool has = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    return has;
}
#endif

} // namespace

void appendBase64EscapingSlashes(const unsigned char* data, size_t size, std::string& out, size_t roomAfter)
{
    // The exact length first, so that the text is written once into place, then the text.
    // Twelve bytes at a time where the processor has the vector instructions for it (each
    // turn reads sixteen), the rest through the table of escaped pairs; spare room at the
    // end takes the overhang of whole stores and is cut off after.
    const size_t whole = size / 3 * 3;
    size_t vectors = 0;
#ifdef VELMAR_BASE64_VECTORS
    if (hasVectors() && size >= 16)
        vectors = (size - 4) / 12 * 12;
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
