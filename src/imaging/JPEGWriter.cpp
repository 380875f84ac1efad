#include "imaging/JPEGWriter.hpp"

#include "base/PlatformError.hpp"
#include "imaging/Parallel.hpp"

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <string>

namespace {

constexpr int mcuSide = 16; // 4:2:0: a block of 16 x 16 pixels
constexpr std::uint8_t marker = 0xff;
constexpr std::uint8_t startOfScan = 0xda, startOfFrame = 0xc0, restartInterval = 0xdd, firstRestart = 0xd0,
                       endOfImage = 0xd9;

std::size_t bigEndian16(const std::uint8_t* at)
{
    return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

struct TurboJPEGDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};

struct TurboJPEGFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

} // namespace

// One band's file from TurboJPEG, with where its parts are: the headers up to the end of
// the scan header, and the entropy-coded data after them, up to the end-of-image marker.
struct JPEGBand {
    std::vector<std::uint8_t> bytes;
    std::size_t frameHeader = 0; // offset of the start-of-frame marker
    std::size_t scanHeader = 0;  // offset of the start-of-scan marker
    std::size_t scanData = 0;    // offset of the first entropy-coded byte
    std::size_t scanEnd = 0;     // offset of the end-of-image marker
};

namespace {

using Band = JPEGBand;

// Finds the frame header and the scan in TurboJPEG's output: markers with their lengths,
// from the start-of-image marker to the start of scan, then data to the final marker.
void locateParts(Band& band)
{
    const std::vector<std::uint8_t>& bytes = band.bytes;
    const auto malformed = [] { return PlatformError("TurboJPEG", 0, "JPEG: the encoder's output is not one scan"); };
    if (bytes.size() < 4 || bytes[bytes.size() - 2] != marker || bytes.back() != endOfImage)
        throw malformed();
    for (std::size_t at = 2; at + 4 <= bytes.size();) {
        if (bytes[at] != marker)
            throw malformed();
        const std::size_t next = at + 2 + bigEndian16(&bytes[at + 2]);
        if (bytes[at + 1] == startOfFrame)
            band.frameHeader = at;
        if (bytes[at + 1] == startOfScan) {
            if (band.frameHeader == 0 || next > bytes.size() - 2)
                throw malformed();
            band.scanHeader = at;
            band.scanData = next;
            band.scanEnd = bytes.size() - 2;
            return;
        }
        at = next;
    }
    throw malformed();
}

class BandCompressor {
public:
    BandCompressor(const Image& image, int quality, int bandRows)
        : image_(image), quality_(quality), bandRows_(bandRows), handle_(tjInitCompress())
    {
        if (!handle_)
            throw PlatformError("TurboJPEG", 0, tjGetErrorStr2(nullptr));
        // The largest band's worst case, so that TurboJPEG never has to grow the buffer.
        capacity_ = tjBufSize(image.width, bandRows, TJSAMP_420);
        buffer_.reset(tjAlloc(static_cast<int>(capacity_)));
        if (!buffer_)
            throw std::bad_alloc();
    }

    Band compress(int index)
    {
        const int top = index * bandRows_;
        const int rows = std::min(bandRows_, image_.height - top);
        unsigned char* out = buffer_.get();
        unsigned long size = capacity_;
        // BGRX: the fourth byte is skipped, the same bytes as the capture's BGRA.
        if (tjCompress2(handle_.get(), image_.row(top), image_.width, static_cast<int>(image_.bytesPerRow), rows,
                        TJPF_BGRX, &out, &size, TJSAMP_420, quality_, TJFLAG_NOREALLOC)
            != 0)
            throw PlatformError("TurboJPEG", tjGetErrorCode(handle_.get()), tjGetErrorStr2(handle_.get()));
        Band band;
        band.bytes.assign(out, out + size);
        locateParts(band);
        return band;
    }

private:
    const Image& image_;
    int quality_;
    int bandRows_;
    std::unique_ptr<void, TurboJPEGDeleter> handle_;
    unsigned long capacity_ = 0;
    std::unique_ptr<unsigned char, TurboJPEGFree> buffer_;
};

// The first band's headers with the whole picture's height and the restart interval, then
// every band's entropy-coded data, a restart marker between two bands, and the end marker.
std::vector<std::uint8_t> joined(const std::vector<Band>& bands, int height, std::size_t interval)
{
    const Band& first = bands.front();
    std::size_t total = first.scanData + 6 + 2;
    for (const Band& band : bands)
        total += band.scanEnd - band.scanData + 2;
    std::vector<std::uint8_t> file;
    file.reserve(total);
    // The frame header holds the height 5 bytes after its marker; the restart interval goes
    // just before the scan header.
    const auto at = [&](std::size_t offset) { return first.bytes.begin() + static_cast<std::ptrdiff_t>(offset); };
    file.insert(file.end(), first.bytes.begin(), at(first.scanHeader));
    file[first.frameHeader + 5] = static_cast<std::uint8_t>(height >> 8);
    file[first.frameHeader + 6] = static_cast<std::uint8_t>(height);
    file.insert(file.end(), {marker, restartInterval, 0, 4, static_cast<std::uint8_t>(interval >> 8),
                             static_cast<std::uint8_t>(interval)});
    file.insert(file.end(), at(first.scanHeader), at(first.scanData));
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (i > 0)
            file.insert(file.end(), {marker, static_cast<std::uint8_t>(firstRestart + (i - 1) % 8)});
        const Band& band = bands[i];
        file.insert(file.end(), band.bytes.begin() + static_cast<std::ptrdiff_t>(band.scanData),
                    band.bytes.begin() + static_cast<std::ptrdiff_t>(band.scanEnd));
    }
    file.insert(file.end(), {marker, endOfImage});
    return file;
}

} // namespace

JPEGBandWriter::JPEGBandWriter() = default;
JPEGBandWriter::~JPEGBandWriter() = default;
JPEGBandWriter::JPEGBandWriter(JPEGBandWriter&&) noexcept = default;
JPEGBandWriter& JPEGBandWriter::operator=(JPEGBandWriter&&) noexcept = default;

void JPEGBandWriter::clear()
{
    bands_ = {};
    width_ = height_ = quality_ = 0;
}

std::vector<std::uint8_t> JPEGBandWriter::write(const Image& image, int quality, const std::vector<std::uint8_t>* changedRows,
                                                std::size_t threads)
{
    if (image.width < 1 || image.height < 1 || image.width > 65535 || image.height > 65535
        || image.bytesPerRow > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw PlatformError("TurboJPEG", 0,
                            "JPEG: a picture of " + std::to_string(image.width) + " x " + std::to_string(image.height)
                                + " pixels cannot be encoded");
    // The restart interval counts MCUs and has 16 bits: a band of a very wide picture is
    // made as tall as that allows, or the picture is one band.
    const std::size_t across = (static_cast<std::size_t>(image.width) + mcuSide - 1) / mcuSide;
    const int mcuRows = static_cast<int>(std::min<std::size_t>(jpegBandRows / mcuSide, 65535 / across));
    const int bandRows = mcuRows >= 1 ? mcuRows * mcuSide : image.height;
    const int count = (image.height + bandRows - 1) / bandRows;

    // A band is a function of its own rows and the quality alone (its encoder starts from
    // nothing, and 4:2:0 subsampling stays inside a 16-row MCU row), so a band whose rows
    // are all unchanged is the band of the last file.
    const bool reuse = changedRows && width_ == image.width && height_ == image.height && quality_ == quality
        && changedRows->size() == static_cast<std::size_t>(image.height);
    std::vector<int> redo;
    for (int index = 0; index < count; ++index) {
        const auto top = static_cast<std::size_t>(index * bandRows);
        const auto bottom = std::min(top + static_cast<std::size_t>(bandRows), static_cast<std::size_t>(image.height));
        if (!reuse || std::any_of(changedRows->begin() + static_cast<std::ptrdiff_t>(top),
                                  changedRows->begin() + static_cast<std::ptrdiff_t>(bottom),
                                  [](std::uint8_t changed) { return changed != 0; }))
            redo.push_back(index);
    }
    // Forgotten first, so that a failure part way leaves nothing half made to reuse.
    width_ = height_ = quality_ = 0;
    bands_.resize(static_cast<std::size_t>(count));
    std::atomic<std::size_t> next{0};
    if (!redo.empty())
        runOnThreads(std::min<std::size_t>(threads, redo.size()), [&] {
            BandCompressor compressor(image, quality, bandRows);
            for (std::size_t at; (at = next++) < redo.size();)
                bands_[static_cast<std::size_t>(redo[at])] = compressor.compress(redo[at]);
        });
    width_ = image.width;
    height_ = image.height;
    quality_ = quality;
    if (count == 1)
        return bands_.front().bytes;
    return joined(bands_, image.height, across * static_cast<std::size_t>(mcuRows));
}

std::vector<std::uint8_t> writeJPEG(const Image& image, int quality, std::size_t threads)
{
    return JPEGBandWriter().write(image, quality, nullptr, threads);
}
