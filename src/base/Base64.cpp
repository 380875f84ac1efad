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
    if (i < size) {
        const bool two = i + 1 < size;
        const unsigned triple = (data[i] << 16) | (two ? data[i + 1] << 8 : 0);
        write[0] = alphabet[(triple >> 18) & 63];
        write[1] = alphabet[(triple >> 12) & 63];
        write[2] = two ? alphabet[(triple >> 6) & 63] : '=';
        write[3] = '=';
    }
}

std::string base64(const unsigned char* data, size_t size)
{
    std::string out;
    appendBase64(data, size, out);
    return out;
}
