#include "base/Base64.hpp"

#include <array>
#include <cstdint>
#include <cstring>

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

void appendBase64EscapingSlashes(const unsigned char* data, size_t size, std::string& out)
{
    // The exact length first, so that the text is written once into place; then each half
    // of a group is stored as four characters and the write moves on by its length. Three
    // spare characters take the last store's overhang and are cut off after.
    const size_t whole = size / 3 * 3;
    size_t length = 0;
    for (size_t i = 0; i < whole; i += 3) {
        const unsigned triple = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        length += escapedTable.length[triple >> 12] + escapedTable.length[triple & 0xfff];
    }
    const size_t start = out.size();
    out.resize(start + length + (whole < size ? 8 : 0) + 3);
    char* write = out.data() + start;
    for (size_t i = 0; i < whole; i += 3) {
        const unsigned triple = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        std::memcpy(write, escapedTable.text[triple >> 12].data(), 4);
        write += escapedTable.length[triple >> 12];
        std::memcpy(write, escapedTable.text[triple & 0xfff].data(), 4);
        write += escapedTable.length[triple & 0xfff];
    }
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
