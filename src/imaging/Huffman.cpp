#include "imaging/Huffman.hpp"

#include <algorithm>
#include <array>
#include <cassert>

namespace {

// Deflate's largest alphabet has 288 symbols.
constexpr std::size_t largestAlphabet = 288;
constexpr int longestCode = 15;

} // namespace

void huffmanLengths(std::span<const std::uint32_t> frequencies, int limit, std::span<std::uint8_t> lengths)
{
    assert(frequencies.size() == lengths.size() && frequencies.size() >= 2 && frequencies.size() <= largestAlphabet);
    std::fill(lengths.begin(), lengths.end(), 0);

    // The symbols in use, rarest first.
    std::array<std::uint16_t, largestAlphabet> symbols;
    std::size_t used = 0;
    for (std::size_t s = 0; s < frequencies.size(); ++s)
        if (frequencies[s] != 0)
            symbols[used++] = static_cast<std::uint16_t>(s);
    if (used < 2) {
        const std::size_t first = used == 1 ? symbols[0] : 0;
        lengths[first] = 1;
        lengths[first == 0 ? 1 : 0] = 1;
        return;
    }
    const auto rarer = [&](std::uint16_t a, std::uint16_t b) {
        return frequencies[a] != frequencies[b] ? frequencies[a] < frequencies[b] : a < b;
    };
    std::sort(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(used), rarer);

    // The tree, built with two queues: the leaves in order, and the joined nodes, which come
    // out in order of weight by themselves. Nodes 0 to used - 1 are the leaves.
    std::array<std::uint64_t, 2 * largestAlphabet> weight;
    std::array<std::uint16_t, 2 * largestAlphabet> parent;
    for (std::size_t i = 0; i < used; ++i)
        weight[i] = frequencies[symbols[i]];
    std::size_t nextLeaf = 0, nextJoined = used, built = used;
    const auto lightest = [&] {
        if (nextLeaf < used && (nextJoined == built || weight[nextLeaf] <= weight[nextJoined]))
            return nextLeaf++;
        return nextJoined++;
    };
    while (built < 2 * used - 1) {
        const std::size_t a = lightest();
        const std::size_t b = lightest();
        weight[built] = weight[a] + weight[b];
        parent[a] = parent[b] = static_cast<std::uint16_t>(built);
        ++built;
    }
    // A parent always comes after its children: depths from the root down.
    std::array<int, 2 * largestAlphabet> depth;
    depth[built - 1] = 0;
    for (std::size_t i = built - 1; i-- > 0;)
        depth[i] = depth[parent[i]] + 1;

    // Codes past the limit are cut to it, which over-fills the code space; the Kraft sum,
    // in units of the shortest possible code space, says by how much.
    std::array<int, largestAlphabet> length;
    const std::uint64_t space = std::uint64_t{1} << limit;
    std::uint64_t filled = 0;
    for (std::size_t i = 0; i < used; ++i) {
        length[i] = std::min(depth[i], limit);
        filled += space >> length[i];
    }
    // Over-full: lengthen the longest code that can still grow, the rarest of them.
    while (filled > space) {
        std::size_t chosen = used;
        for (std::size_t i = 0; i < used; ++i)
            if (length[i] < limit && (chosen == used || length[i] > length[chosen]))
                chosen = i;
        ++length[chosen];
        filled -= space >> length[chosen];
    }
    // Under-full (lengthening may overshoot): shorten the most frequent of the longest codes.
    // What is missing is a multiple of one longest code's share, so this ends exactly full.
    while (filled < space) {
        std::size_t chosen = 0;
        for (std::size_t i = 0; i < used; ++i)
            if (length[i] >= length[chosen])
                chosen = i;
        filled += space >> length[chosen];
        --length[chosen];
    }
    for (std::size_t i = 0; i < used; ++i)
        lengths[symbols[i]] = static_cast<std::uint8_t>(length[i]);
}

void canonicalCodes(std::span<const std::uint8_t> lengths, std::span<std::uint16_t> codes)
{
    assert(codes.size() == lengths.size());
    std::array<int, longestCode + 1> count{};
    for (const std::uint8_t length : lengths)
        ++count[length];
    count[0] = 0;
    std::array<int, longestCode + 1> next{};
    int code = 0;
    for (int bits = 1; bits <= longestCode; ++bits) {
        code = (code + count[static_cast<std::size_t>(bits - 1)]) << 1;
        next[static_cast<std::size_t>(bits)] = code;
    }
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        const int length = lengths[s];
        int value = length ? next[static_cast<std::size_t>(length)]++ : 0;
        int reversed = 0;
        for (int bit = 0; bit < length; ++bit, value >>= 1)
            reversed = (reversed << 1) | (value & 1);
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
}
