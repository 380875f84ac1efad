#include "imaging/PNGWriter.hpp"

#include "base/Base64.hpp"
#include "base/PlatformError.hpp"
#include "imaging/Parallel.hpp"
#include "imaging/StripCompressor.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::array<std::uint8_t, 4> bigEndian(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::uint32_t crcOf(const char (&type)[5], const std::uint8_t* data, std::size_t length)
{
    const std::uint32_t crc = libdeflate_crc32(0, type, 4);
    // Given no buffer, libdeflate answers the initial value, not the CRC so far (IEND has no data).
    return length == 0 ? crc : libdeflate_crc32(crc, data, length);
}

// Writes the file front to back into room sized beforehand.
class FileWriter {
public:
    explicit FileWriter(std::uint8_t* at) : at_(at) {}

    void put(const void* bytes, std::size_t length)
    {
        if (length > 0)
            std::memcpy(at_, bytes, length);
        at_ += length;
    }

    void putChunk(const char (&type)[5], const std::uint8_t* data, std::size_t length, std::uint32_t crc)
    {
        put(bigEndian(static_cast<std::uint32_t>(length)).data(), 4);
        put(type, 4);
        put(data, length);
        put(bigEndian(crc).data(), 4);
    }

    void putChunk(const char (&type)[5], const std::uint8_t* data, std::size_t length)
    {
        putChunk(type, data, length, crcOf(type, data, length));
    }

private:
    std::uint8_t* at_;
};

// One row as PNG wants it: the filter type 1 (Sub), then red, green, blue of every pixel,
// each byte minus the same byte of the pixel to its left. Sub costs one subtraction a byte
// and, on screens, compresses about as well as choosing a filter per row at a fraction of
// the time. Writes 1 + 3 x width bytes.
void filterRow(const std::uint8_t* pixel, std::size_t width, std::uint8_t* out)
{
    *out++ = 1;
    std::uint8_t red = 0, green = 0, blue = 0;
    for (std::size_t x = 0; x < width; ++x, pixel += 4, out += 3) {
        out[0] = static_cast<std::uint8_t>(pixel[2] - red);
        out[1] = static_cast<std::uint8_t>(pixel[1] - green);
        out[2] = static_cast<std::uint8_t>(pixel[0] - blue);
        red = pixel[2];
        green = pixel[1];
        blue = pixel[0];
    }
}

// The Adler-32 of two pieces joined, from theirs and the second one's length: the first sum
// adds up (less the 1 both start from), and every byte of the second piece adds the first
// piece's sum once more to the second.
std::uint32_t adler32Joined(std::uint32_t first, std::uint32_t second, std::size_t secondLength)
{
    constexpr std::uint64_t modulus = 65521;
    const std::uint64_t sum1 = first & 0xffff, total1 = first >> 16;
    const std::uint64_t sum2 = second & 0xffff, total2 = second >> 16;
    const std::uint64_t sum = (sum1 + sum2 + modulus - 1) % modulus;
    const std::uint64_t added = (secondLength % modulus) * ((sum1 + modulus - 1) % modulus);
    const std::uint64_t total = (total1 + total2 + added) % modulus;
    return static_cast<std::uint32_t>(total << 16 | sum);
}

// Bytes that are written before they are read, so never cleared: clearing would cost as
// much as filtering them.
class Bytes {
public:
    void resize(std::size_t size)
    {
        if (size > capacity_) {
            bytes_.reset(new std::uint8_t[size]);
            capacity_ = size;
        }
        size_ = size;
    }

    std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

} // namespace

// A compressed strip, to be one IDAT chunk of the file: its deflate bytes (the first strip's
// preceded by the zlib header) and their chunk CRC, with the Adler-32 of its filtered bytes.
// Kept at its own size: the room a strip is compressed into is several times larger. Where
// the file is wanted as Base64 text, every strip but the last keeps its whole chunk's text
// instead of its bytes: a chunk of such a strip is a whole number of three-byte groups and
// begins at one (the file's signature and header are 33 bytes), so its text is the same
// wherever it stands in the file.
struct PNGStrip {
    std::vector<std::uint8_t> bytes;
    std::string text;
    std::uint32_t crc = 0;
    std::uint32_t adler = 1;
    std::size_t filteredLength = 0;
};

namespace {

// A stored block of no bytes, begun on a byte boundary: not the last, stored, then LEN 0
// and its complement.
constexpr std::array<std::uint8_t, 5> emptyStoredBlock{0x00, 0x00, 0x00, 0xff, 0xff};

class StripLayout {
public:
    explicit StripLayout(const Image& image)
        : image_(image), width_(static_cast<std::size_t>(image.width)), rowLength_(1 + 3 * width_),
          rowsPerStrip_(std::max<std::size_t>(1, pngStripBytes / rowLength_)),
          count_((static_cast<std::size_t>(image.height) + rowsPerStrip_ - 1) / rowsPerStrip_)
    {
    }

    std::size_t count() const { return count_; }

    // Whether a strip reads a row that `changedRows` marks: its own rows and the one before,
    // which its repeats may refer to.
    bool reads(std::size_t index, const std::vector<std::uint8_t>& changedRows) const
    {
        const std::size_t first = index * rowsPerStrip_;
        const std::size_t last = std::min(first + rowsPerStrip_, static_cast<std::size_t>(image_.height));
        for (std::size_t y = first > 0 ? first - 1 : 0; y < last; ++y)
            if (changedRows[y])
                return true;
        return false;
    }

    // Filters the strip, and the row before it, into `filtered` and compresses it, on the
    // calling thread, with what the thread keeps for its next strip; with `asText`, keeps
    // the chunk's Base64 text instead of its bytes (but for the last strip).
    void compress(std::size_t index, StripCompressor& compressor, Bytes& filtered, Bytes& room, PNGStrip& result,
                  bool asText) const
    {
        const auto height = static_cast<std::size_t>(image_.height);
        const std::size_t first = index * rowsPerStrip_;
        const std::size_t last = std::min(first + rowsPerStrip_, height);
        const std::size_t history = first > 0 ? 1 : 0;
        const std::size_t length = (last - first) * rowLength_;
        filtered.resize((last - first + history) * rowLength_);
        for (std::size_t y = first - history; y < last; ++y)
            filterRow(image_.row(static_cast<int>(y)), width_, filtered.data() + (y - first + history) * rowLength_);

        const StripCompressor::Strip strip{filtered.data(), history * rowLength_, length, rowLength_, last == height};
        const std::size_t header = index == 0 ? 2 : 0;
        // The chunk is made whole in the room: length and type, the bytes, then the CRC.
        room.resize(8 + header + StripCompressor::bound(length, rowLength_) + 2 * emptyStoredBlock.size() + 4);
        std::uint8_t* out = room.data() + 8;
        // The zlib header: deflate with a 32 KB window; the check bits make it a multiple of 31.
        if (header != 0) {
            out[0] = 0x78;
            out[1] = 0x01;
        }
        std::size_t size = header + compressor.write(strip, out + header);
        // Every strip but the last ends on a byte boundary, where empty stored blocks (five
        // bytes, two at most) bring it to a whole number of three-byte groups.
        while (!strip.last && size % 3 != 0) {
            std::memcpy(out + size, emptyStoredBlock.data(), emptyStoredBlock.size());
            size += emptyStoredBlock.size();
        }
        result.crc = crcOf("IDAT", out, size);
        result.adler = libdeflate_adler32(1, filtered.data() + strip.history, length);
        result.filteredLength = length;
        if (asText && !strip.last) {
            std::ranges::copy(bigEndian(static_cast<std::uint32_t>(size)), room.data());
            std::memcpy(room.data() + 4, "IDAT", 4);
            std::ranges::copy(bigEndian(result.crc), out + size);
            result.text.clear();
            appendBase64EscapingSlashes(room.data(), 8 + size + 4, result.text);
            result.bytes = {};
        } else {
            result.bytes.assign(out, out + size);
            result.text = {};
        }
    }

private:
    const Image& image_;
    std::size_t width_;
    std::size_t rowLength_;
    std::size_t rowsPerStrip_;
    std::size_t count_;
};

} // namespace

PNGStripWriter::PNGStripWriter() = default;
PNGStripWriter::~PNGStripWriter() = default;
PNGStripWriter::PNGStripWriter(PNGStripWriter&&) noexcept = default;
PNGStripWriter& PNGStripWriter::operator=(PNGStripWriter&&) noexcept = default;

void PNGStripWriter::clear()
{
    strips_ = {};
    width_ = height_ = 0;
}

namespace {

// The signature and the header chunk: 33 bytes.
constexpr std::size_t headBytes = 8 + 25;

void putHead(FileWriter& out, const Image& image)
{
    // The signature: 0x89 "PNG" CR LF 0x1a LF.
    out.put("\x89PNG\r\n\x1a\n", 8);
    std::array<std::uint8_t, 13> header{};
    std::ranges::copy(bigEndian(static_cast<std::uint32_t>(image.width)), header.begin());
    std::ranges::copy(bigEndian(static_cast<std::uint32_t>(image.height)), header.begin() + 4);
    // bit depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace
    std::ranges::copy(std::array<std::uint8_t, 5>{8, 2, 0, 0, 0}, header.begin() + 8);
    out.putChunk("IHDR", header.data(), header.size());
}

// The chunk of the Adler-32 of all filtered bytes, which ends the zlib stream, and the end
// chunk: 28 bytes.
constexpr std::size_t endBytes = 16 + 12;

void putEnd(FileWriter& out, std::uint32_t adler)
{
    const std::array<std::uint8_t, 4> trailer = bigEndian(adler);
    out.putChunk("IDAT", trailer.data(), trailer.size());
    out.putChunk("IEND", nullptr, 0);
}

} // namespace

std::vector<std::uint8_t> PNGStripWriter::write(const Image& image, const std::vector<std::uint8_t>* changedRows,
                                                std::size_t threads)
{
    const std::uint32_t adler = makeStrips(image, changedRows, threads, false);
    std::size_t total = headBytes + endBytes;
    for (const PNGStrip& strip : strips_)
        total += 12 + strip.bytes.size();
    std::vector<std::uint8_t> file(total);
    FileWriter out(file.data());
    putHead(out, image);
    // A chunk a strip, its CRC reckoned on the strip's own thread.
    for (const PNGStrip& strip : strips_)
        out.putChunk("IDAT", strip.bytes.data(), strip.bytes.size(), strip.crc);
    putEnd(out, adler);
    return file;
}

std::vector<std::uint8_t> PNGStripWriter::writeBase64Text(const Image& image,
                                                          const std::vector<std::uint8_t>* changedRows,
                                                          std::size_t threads)
{
    const std::uint32_t adler = makeStrips(image, changedRows, threads, true);
    // The text of the head, then each strip's, then that of the last strip with the end.
    std::array<std::uint8_t, headBytes> head{};
    FileWriter headOut(head.data());
    putHead(headOut, image);
    std::string headText;
    appendBase64EscapingSlashes(head.data(), head.size(), headText);
    const PNGStrip& last = strips_.back();
    std::vector<std::uint8_t> end(12 + last.bytes.size() + endBytes);
    FileWriter endOut(end.data());
    endOut.putChunk("IDAT", last.bytes.data(), last.bytes.size(), last.crc);
    putEnd(endOut, adler);
    std::string endText;
    appendBase64EscapingSlashes(end.data(), end.size(), endText);

    std::size_t total = headText.size() + endText.size();
    for (std::size_t index = 0; index + 1 < strips_.size(); ++index)
        total += strips_[index].text.size();
    // Reserved, not sized: a sized vector is cleared first, which writes the megabytes once more.
    std::vector<std::uint8_t> text;
    text.reserve(total);
    const auto put = [&](const std::string& piece) {
        // As bytes, so that the insert is one block copy rather than a conversion per character.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(piece.data());
        text.insert(text.end(), bytes, bytes + piece.size());
    };
    put(headText);
    for (std::size_t index = 0; index + 1 < strips_.size(); ++index)
        put(strips_[index].text);
    put(endText);
    return text;
}

std::uint32_t PNGStripWriter::makeStrips(const Image& image, const std::vector<std::uint8_t>* changedRows,
                                         std::size_t threads, bool asText)
{
    if (image.width < 1 || image.height < 1)
        throw PlatformError("PNG", 0, "a PNG picture needs at least one pixel");
    // Positions inside a strip are kept in 32 bits, and a PNG side is at most 2^31 - 1.
    if (image.width > (1 << 24))
        throw PlatformError("PNG", 0, "the picture is too wide for a PNG file");

    // A strip's bytes are a function of its rows, the row before and whether it is first or
    // last (the compressor's tables carry nothing from one strip to the next that changes
    // its output), so a strip that reads no changed row is the strip of the last file.
    const StripLayout layout(image);
    const bool reuse = changedRows && width_ == image.width && height_ == image.height && asText_ == asText
        && changedRows->size() == static_cast<std::size_t>(image.height);
    std::vector<std::size_t> redo;
    for (std::size_t index = 0; index < layout.count(); ++index)
        if (!reuse || layout.reads(index, *changedRows))
            redo.push_back(index);
    // Forgotten first, so that a failure part way leaves nothing half made to reuse.
    width_ = height_ = 0;
    strips_.resize(layout.count());
    std::atomic<std::size_t> next{0};
    if (!redo.empty())
        runOnThreads(std::min(threads, redo.size()), [&] {
            StripCompressor compressor;
            Bytes filtered, room;
            for (std::size_t at; (at = next++) < redo.size();)
                layout.compress(redo[at], compressor, filtered, room, strips_[redo[at]], asText);
        });
    width_ = image.width;
    height_ = image.height;
    asText_ = asText;

    std::uint32_t adler = 1;
    for (const PNGStrip& strip : strips_)
        adler = adler32Joined(adler, strip.adler, strip.filteredLength);
    return adler;
}

std::vector<std::uint8_t> writePNG(const Image& image, std::size_t threads)
{
    return PNGStripWriter().write(image, nullptr, threads);
}
