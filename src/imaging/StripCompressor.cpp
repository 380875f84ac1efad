#include "imaging/StripCompressor.hpp"

#include "imaging/Huffman.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

// Words are read from and written to memory as they lie there: the first byte in the lowest
// bits, as deflate wants them.
static_assert(std::endian::native == std::endian::little, "the compressor reads and writes little-endian words");

namespace {

std::uint32_t load32(const std::uint8_t* at)
{
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint64_t load64(const std::uint8_t* at)
{
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Deflate's stream is read from the lowest bit of each byte up. Bits gather in a 64-bit
// word that is stored whole, 8 bytes at a time, and advanced by the bytes completed, so the
// output needs 8 bytes of room past its end. Between two flushes at most 56 bits may be put.
class BitWriter {
public:
    explicit BitWriter(std::uint8_t* out) : start_(out), out_(out) {}

    void put(std::uint64_t value, unsigned count)
    {
        bits_ |= value << count_;
        count_ += count;
    }

    void flush()
    {
        std::memcpy(out_, &bits_, sizeof bits_);
        const unsigned bytes = count_ / 8;
        out_ += bytes;
        bits_ = bytes == 8 ? 0 : bits_ >> (bytes * 8);
        count_ %= 8;
    }

    void alignToByte()
    {
        flush();
        if (count_ > 0) {
            ++out_;
            bits_ = 0;
            count_ = 0;
        }
    }

    // Only on a byte boundary, after alignToByte().
    void putBytes(const std::uint8_t* bytes, std::size_t count)
    {
        std::memcpy(out_, bytes, count);
        out_ += count;
    }

    std::size_t written() const { return static_cast<std::size_t>(out_ - start_); }

private:
    std::uint8_t* start_;
    std::uint8_t* out_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
};

constexpr std::size_t literalSymbols = 286; // 0-255 bytes, 256 end of block, 257-285 lengths
constexpr std::size_t distanceSymbols = 30;
constexpr std::size_t lengthSymbols = 19;   // the code that sends the other codes' lengths
constexpr unsigned endOfBlock = 256;
constexpr std::size_t shortestMatch = 4;
constexpr std::size_t longestMatch = 258;
constexpr std::size_t farthestMatch = 32768;
// A string found through the hash table must be this long to be worth a match: in noise,
// four equal bytes are chance, and cost more as a match than as literals.
constexpr std::size_t shortestHashedMatch = 6;
// After 2^strideShift bytes without a match, the search steps two bytes, then three...
constexpr unsigned strideShift = 5;
constexpr unsigned hashBits = 14;

// A symbol with its extra bits, for a match length or distance.
struct Coded {
    std::uint16_t symbol;
    std::uint8_t extraBits;
    std::uint16_t extra;
};

constexpr std::array<Coded, longestMatch + 1> makeLengthCodes()
{
    std::array<Coded, longestMatch + 1> table{};
    for (unsigned length = 3; length < longestMatch; ++length) {
        const unsigned m = length - 3;
        if (m < 8) {
            table[length] = {static_cast<std::uint16_t>(257 + m), 0, 0};
            continue;
        }
        const unsigned top = static_cast<unsigned>(std::bit_width(m)) - 1;
        table[length] = {static_cast<std::uint16_t>(257 + 4 * (top - 1) + ((m >> (top - 2)) & 3)),
                         static_cast<std::uint8_t>(top - 2), static_cast<std::uint16_t>(m & ((1u << (top - 2)) - 1))};
    }
    table[longestMatch] = {285, 0, 0};
    return table;
}

constexpr std::array<Coded, longestMatch + 1> lengthCodes = makeLengthCodes();

inline Coded distanceCode(unsigned distance)
{
    const unsigned d = distance - 1;
    if (d < 4)
        return {static_cast<std::uint16_t>(d), 0, 0};
    const unsigned top = static_cast<unsigned>(std::bit_width(d)) - 1;
    return {static_cast<std::uint16_t>(2 * top + ((d >> (top - 1)) & 1)), static_cast<std::uint8_t>(top - 1),
            static_cast<std::uint16_t>(d & ((1u << (top - 1)) - 1))};
}

// How many bytes from `a` on equal those from `b` on, up to `longest`; the first
// shortestMatch are known to.
std::size_t commonLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t longest)
{
    std::size_t length = shortestMatch;
    for (; length + 8 <= longest; length += 8) {
        const std::uint64_t difference = load64(a + length) ^ load64(b + length);
        if (difference != 0)
            return length + static_cast<std::size_t>(std::countr_zero(difference)) / 8;
    }
    while (length < longest && a[length] == b[length])
        ++length;
    return length;
}

unsigned lengthExtraBits(std::size_t symbol)
{
    return symbol >= 265 && symbol < 285 ? static_cast<unsigned>(symbol - 261) / 4 : 0;
}

unsigned distanceExtraBits(std::size_t symbol)
{
    return symbol >= 4 ? static_cast<unsigned>(symbol - 2) / 2 : 0;
}

// The code lengths of both codes, run-length coded as the block header sends them: 16
// repeats the last length 3 to 6 times, 17 and 18 give runs of zeros of 3 to 10 and 11 to 138.
struct LengthItem {
    std::uint8_t symbol;
    std::uint8_t extra;
};

constexpr std::array<unsigned, 19> lengthItemExtraBits = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which the header gives the lengths of the length code.
constexpr std::array<std::uint8_t, 19> lengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::size_t runLengthCode(const std::uint8_t* lengths, std::size_t count, LengthItem* items)
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < count;) {
        const std::uint8_t value = lengths[i];
        std::size_t run = 1;
        while (i + run < count && lengths[i + run] == value)
            ++run;
        i += run;
        if (value == 0) {
            for (; run >= 11; run -= std::min<std::size_t>(run, 138))
                items[written++] = {18, static_cast<std::uint8_t>(std::min<std::size_t>(run, 138) - 11)};
            if (run >= 3) {
                items[written++] = {17, static_cast<std::uint8_t>(run - 3)};
                run = 0;
            }
        } else {
            items[written++] = {value, 0};
            for (--run; run >= 3; run -= std::min<std::size_t>(run, 6))
                items[written++] = {16, static_cast<std::uint8_t>(std::min<std::size_t>(run, 6) - 3)};
        }
        for (; run > 0; --run)
            items[written++] = {value, 0};
    }
    return written;
}

// One block's Huffman codes and the header that describes them.
struct BlockCodes {
    std::array<std::uint32_t, literalSymbols> literalCount{};
    std::array<std::uint32_t, distanceSymbols> distanceCount{};
    // Literal and length code lengths, then distance code lengths.
    std::array<std::uint8_t, literalSymbols + distanceSymbols> lengths{};
    std::array<std::uint16_t, literalSymbols> literalCodes{};
    std::array<std::uint16_t, distanceSymbols> distanceCodes{};
    std::size_t literalsSent = 0;
    std::size_t distancesSent = 0;
    std::array<LengthItem, literalSymbols + distanceSymbols> items{};
    std::size_t itemCount = 0;
    std::array<std::uint8_t, lengthSymbols> itemLengths{};
    std::array<std::uint16_t, lengthSymbols> itemCodes{};
    std::size_t itemLengthsSent = 0;

    const std::uint8_t* distanceLengths() const { return lengths.data() + literalSymbols; }

    void build()
    {
        literalCount[endOfBlock] = 1;
        huffmanLengths(literalCount, 15, std::span(lengths).first(literalSymbols));
        huffmanLengths(distanceCount, 15, std::span(lengths).last(distanceSymbols));
        canonicalCodes(std::span(lengths).first(literalSymbols), literalCodes);
        canonicalCodes(std::span(lengths).last(distanceSymbols), distanceCodes);
        literalsSent = literalSymbols;
        while (literalsSent > 257 && lengths[literalsSent - 1] == 0)
            --literalsSent;
        distancesSent = distanceSymbols;
        while (distancesSent > 1 && distanceLengths()[distancesSent - 1] == 0)
            --distancesSent;

        // Both sets of lengths are sent as one sequence, so a run may cross from one to the other.
        std::array<std::uint8_t, literalSymbols + distanceSymbols> sent;
        std::memcpy(sent.data(), lengths.data(), literalsSent);
        std::memcpy(sent.data() + literalsSent, distanceLengths(), distancesSent);
        itemCount = runLengthCode(sent.data(), literalsSent + distancesSent, items.data());
        std::array<std::uint32_t, lengthSymbols> itemFrequencies{};
        for (std::size_t i = 0; i < itemCount; ++i)
            ++itemFrequencies[items[i].symbol];
        huffmanLengths(itemFrequencies, 7, itemLengths);
        canonicalCodes(itemLengths, itemCodes);
        itemLengthsSent = lengthSymbols;
        while (itemLengthsSent > 4 && itemLengths[lengthOrder[itemLengthsSent - 1]] == 0)
            --itemLengthsSent;
    }

    std::uint64_t bits() const
    {
        std::uint64_t total = 3 + 5 + 5 + 4 + 3 * itemLengthsSent;
        for (std::size_t i = 0; i < itemCount; ++i)
            total += itemLengths[items[i].symbol] + lengthItemExtraBits[items[i].symbol];
        for (std::size_t s = 0; s < literalSymbols; ++s)
            total += std::uint64_t{literalCount[s]} * (lengths[s] + lengthExtraBits(s));
        for (std::size_t s = 0; s < distanceSymbols; ++s)
            total += std::uint64_t{distanceCount[s]} * (distanceLengths()[s] + distanceExtraBits(s));
        return total;
    }

    void writeHeader(BitWriter& out, bool final) const
    {
        out.put(final ? 1 : 0, 1);
        out.put(2, 2); // dynamic Huffman codes
        out.put(literalsSent - 257, 5);
        out.put(distancesSent - 1, 5);
        out.put(itemLengthsSent - 4, 4);
        out.flush();
        for (std::size_t i = 0; i < itemLengthsSent; ++i) {
            out.put(itemLengths[lengthOrder[i]], 3);
            if (i % 8 == 7)
                out.flush();
        }
        out.flush();
        for (std::size_t i = 0; i < itemCount; ++i) {
            const LengthItem item = items[i];
            out.put(itemCodes[item.symbol], itemLengths[item.symbol]);
            out.put(item.extra, lengthItemExtraBits[item.symbol]);
            out.flush();
        }
    }
};

constexpr std::size_t storedPiece = 65535;

// Stored pieces, at most 6 bytes of framing each (3 header bits, alignment, LEN and NLEN).
std::size_t storedPieces(std::size_t length)
{
    return std::max<std::size_t>(1, (length + storedPiece - 1) / storedPiece);
}

void writeStored(BitWriter& out, const std::uint8_t* bytes, std::size_t length, bool final)
{
    std::size_t done = 0;
    do {
        const std::size_t piece = std::min(storedPiece, length - done);
        out.put(final && done + piece == length ? 1 : 0, 3);
        out.alignToByte();
        out.put(piece, 16);
        out.put(~piece & 0xffff, 16);
        out.flush();
        out.putBytes(bytes + done, piece);
        done += piece;
    } while (done < length);
}

using Strip = StripCompressor::Strip;
using Match = StripCompressor::Match;

// Finds the repeats of the filtered bytes [begin, end) of the strip's data, which may refer
// back to any byte before them, history included.
void findMatches(const Strip& strip, std::size_t begin, std::size_t end, std::vector<std::int32_t>& recent,
                 std::vector<Match>& matches)
{
    const std::uint8_t* data = strip.data;
    const std::size_t above = strip.rowLength <= farthestMatch ? strip.rowLength : 0;
    std::size_t literalsFrom = begin;
    std::size_t misses = 0;
    // Eight bytes are read at a time; the last few of the block are sent as literals.
    for (std::size_t i = begin; i + 8 <= end;) {
        const std::uint64_t here = load64(data + i);
        std::size_t distance = 0;
        std::size_t shortest = shortestMatch;
        if (i >= 1 && static_cast<std::uint32_t>(here) == load32(data + i - 1)) {
            distance = 1;
        } else if (above != 0 && i >= above && static_cast<std::uint32_t>(here) == load32(data + i - above)) {
            distance = above;
        } else {
            // The hash and the test take the first six bytes: shorter repeats are not wanted.
            const std::uint64_t six = here & 0xffff'ffff'ffffu;
            std::int32_t& slot = recent[(six * 0x9e37'79b9'7f4a'7c15u) >> (64 - hashBits)];
            const auto candidate = static_cast<std::size_t>(slot);
            if (slot >= 0 && i - candidate <= farthestMatch && (load64(data + candidate) & 0xffff'ffff'ffffu) == six) {
                distance = i - candidate;
                shortest = shortestHashedMatch;
            }
            slot = static_cast<std::int32_t>(i);
        }
        const std::size_t length =
            distance == 0 ? 0 : commonLength(data + i, data + i - distance, std::min(longestMatch, end - i));
        if (length < shortest) {
            i += 1 + (misses++ >> strideShift);
            continue;
        }
        matches.push_back({static_cast<std::uint32_t>(i - literalsFrom), static_cast<std::uint16_t>(length),
                            static_cast<std::uint16_t>(distance)});
        i += length;
        literalsFrom = i;
        misses = 0;
    }
    matches.push_back({static_cast<std::uint32_t>(end - literalsFrom), 0, 0});
}

// One block: dynamic Huffman codes made for it, or stored when that is smaller. The writer
// comes and goes by value: held by reference, its bits would be stored and loaded again
// around every byte read from the block, which may be any memory as far as the compiler
// knows.
BitWriter writeBlock(BitWriter out, const std::uint8_t* block, std::size_t length, const std::vector<Match>& matches,
                     bool final)
{
    BlockCodes codes;
    // Literals are counted in four tables, a byte to each in turn: in a photograph's noise the
    // same few small differences follow each other, and one table would make every count
    // wait for the one before to be stored.
    std::array<std::array<std::uint32_t, 256>, 4> byteCounts{};
    const std::uint8_t* at = block;
    for (const Match& match : matches) {
        const std::uint32_t literals = match.literals;
        std::uint32_t k = 0;
        for (; k + 4 <= literals; k += 4) {
            ++byteCounts[0][at[k]];
            ++byteCounts[1][at[k + 1]];
            ++byteCounts[2][at[k + 2]];
            ++byteCounts[3][at[k + 3]];
        }
        for (; k < literals; ++k)
            ++byteCounts[0][at[k]];
        at += literals + match.length;
        if (match.length != 0) {
            ++codes.literalCount[lengthCodes[match.length].symbol];
            ++codes.distanceCount[distanceCode(match.distance).symbol];
        }
    }
    for (std::size_t byte = 0; byte < 256; ++byte)
        codes.literalCount[byte] = byteCounts[0][byte] + byteCounts[1][byte] + byteCounts[2][byte] + byteCounts[3][byte];
    codes.build();
    if (codes.bits() > 8 * (length + 6 * storedPieces(length))) {
        writeStored(out, block, length, final);
        return out;
    }

    codes.writeHeader(out, final);
    const auto& literalCodes = codes.literalCodes;
    const auto& lengths = codes.lengths;
    at = block;
    for (const Match& match : matches) {
        std::uint32_t k = 0;
        for (; k + 3 <= match.literals; k += 3) {
            out.put(literalCodes[at[k]], lengths[at[k]]);
            out.put(literalCodes[at[k + 1]], lengths[at[k + 1]]);
            out.put(literalCodes[at[k + 2]], lengths[at[k + 2]]);
            out.flush();
        }
        for (; k < match.literals; ++k)
            out.put(literalCodes[at[k]], lengths[at[k]]);
        out.flush();
        at += match.literals + match.length;
        if (match.length != 0) {
            const Coded lengthCode = lengthCodes[match.length];
            const Coded distance = distanceCode(match.distance);
            out.put(literalCodes[lengthCode.symbol], lengths[lengthCode.symbol]);
            out.put(lengthCode.extra, lengthCode.extraBits);
            out.put(codes.distanceCodes[distance.symbol], codes.distanceLengths()[distance.symbol]);
            out.put(distance.extra, distance.extraBits);
            out.flush();
        }
    }
    out.put(literalCodes[endOfBlock], lengths[endOfBlock]);
    out.flush();
    return out;
}

} // namespace

std::size_t StripCompressor::bound(std::size_t length, std::size_t rowLength)
{
    const std::size_t rowsPerBlock = std::max<std::size_t>(1, blockBytes / rowLength);
    const std::size_t blocks = (length / rowLength + rowsPerBlock - 1) / rowsPerBlock;
    // Every block stored at worst, then the empty stored block or the last byte, and the
    // room for 8-byte stores.
    return length + 6 * (blocks + length / storedPiece + 1) + 6 + 8;
}

std::size_t StripCompressor::write(const Strip& strip, std::uint8_t* out)
{
    recent_.assign(std::size_t{1} << hashBits, -1);
    BitWriter writer(out);
    const std::size_t rowsPerBlock = std::max<std::size_t>(1, blockBytes / strip.rowLength);
    const std::size_t end = strip.history + strip.length;
    for (std::size_t begin = strip.history; begin < end;) {
        const std::size_t blockEnd = std::min(end, begin + rowsPerBlock * strip.rowLength);
        matches_.clear();
        findMatches(strip, begin, blockEnd, recent_, matches_);
        writer = writeBlock(writer, strip.data + begin, blockEnd - begin, matches_, strip.last && blockEnd == end);
        begin = blockEnd;
    }
    if (!strip.last) {
        // An empty stored block brings the strip to a byte boundary.
        writer.put(0, 3);
        writer.alignToByte();
        writer.put(0xffff0000u, 32);
        writer.flush();
    } else {
        writer.alignToByte();
    }
    return writer.written();
}
