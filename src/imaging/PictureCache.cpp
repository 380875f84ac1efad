#include "imaging/PictureCache.hpp"

#include "imaging/AreaShrink.hpp"
#include "imaging/Parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace {

// Rows a thread compares at a time.
constexpr std::size_t rowsPerTurn = 64;

// Calls row(y) for every row below `height`, turns of rows shared out over up to `threads`
// threads.
template<typename Row>
void forEachRow(std::size_t height, std::size_t threads, const Row& row)
{
    const std::size_t turns = (height + rowsPerTurn - 1) / rowsPerTurn;
    std::atomic<std::size_t> next{0};
    runOnThreads(std::min(threads, turns), [&] {
        for (std::size_t turn; (turn = next++) < turns;) {
            const std::size_t last = std::min(height, (turn + 1) * rowsPerTurn);
            for (std::size_t y = turn * rowsPerTurn; y < last; ++y)
                row(y);
        }
    });
}

// Marks the rows of `after` that differ from `before` (same size) and are not marked yet.
void compareRows(const Image& before, const Image& after, std::vector<std::uint8_t>& changed, std::size_t threads)
{
    const auto length = static_cast<std::size_t>(after.width) * 4;
    forEachRow(static_cast<std::size_t>(after.height), threads, [&](std::size_t y) {
        if (!changed[y])
            changed[y] = std::memcmp(before.row(static_cast<int>(y)), after.row(static_cast<int>(y)), length) != 0;
    });
}

} // namespace

std::vector<std::uint8_t> rowsThatDiffer(const Image& before, const Image& after, std::size_t threads)
{
    if (before.width != after.width || before.height != after.height || before.pixels.empty() || after.pixels.empty())
        return {};
    std::vector<std::uint8_t> changed(static_cast<std::size_t>(after.height), 0);
    compareRows(before, after, changed, threads);
    return changed;
}

std::vector<std::uint8_t> copyRowsThatDiffer(const Image& current, Image& earlier, std::size_t threads)
{
    const auto height = static_cast<std::size_t>(std::max(0, current.height));
    const auto length = static_cast<std::size_t>(std::max(0, current.width)) * 4;
    if (earlier.width != current.width || earlier.height != current.height
        || earlier.bytesPerRow != current.bytesPerRow || earlier.pixels.size() != current.pixels.size()
        || current.pixels.empty() || current.bytesPerRow < length
        || current.pixels.size() < current.bytesPerRow * height) {
        earlier = current;
        return {};
    }
    std::vector<std::uint8_t> changed(height, 0);
    forEachRow(height, threads, [&](std::size_t y) {
        const std::uint8_t* now = current.row(static_cast<int>(y));
        std::uint8_t* before = earlier.row(static_cast<int>(y));
        if (std::memcmp(before, now, length) != 0) {
            std::memcpy(before, now, length);
            changed[y] = 1;
        }
    });
    return changed;
}

namespace {

void releaseImage(Image& image)
{
    image = Image();
}

} // namespace

Image PictureCache::lend(std::uint64_t source)
{
    if (capture_.pixels.empty() || source != source_)
        return {};
    lentWidth_ = capture_.width;
    lentHeight_ = capture_.height;
    return std::exchange(capture_, Image());
}

std::size_t PictureCache::take(std::uint64_t source, Image captured, const std::vector<std::uint8_t>* comparedRows,
                               std::size_t threads)
{
    const auto rows = static_cast<std::size_t>(std::max(0, captured.height));
    keeping_ = captured.pixels.size() <= largestKeptCapture;
    const bool overLent = keeping_ && lentWidth_ > 0 && capture_.pixels.empty() && source == source_ && comparedRows
        && comparedRows->size() == rows && captured.width == lentWidth_ && captured.height == lentHeight_;
    lentWidth_ = lentHeight_ = 0;
    if (!keeping_)
        clear();
    const bool comparable = overLent
        || (!capture_.pixels.empty() && source == source_ && captured.width == capture_.width
            && captured.height == capture_.height);
    std::vector<std::uint8_t> changed(rows, comparable ? 0 : 1);
    if (overLent) {
        changed = *comparedRows;
    } else if (comparable) {
        compareRows(capture_, captured, changed, threads);
    } else {
        thumbnailMade_.made = false;
        outputMade_.made = false;
    }
    for (Made* made : {&thumbnailMade_, &outputMade_}) {
        if (!made->made)
            continue;
        for (std::size_t y = 0; y < rows; ++y)
            made->staleRows[y] |= changed[y];
    }
    source_ = source;
    capture_ = std::move(captured);
    return static_cast<std::size_t>(std::count_if(changed.begin(), changed.end(), [](std::uint8_t row) { return row != 0; }));
}

Image PictureCache::thumbnail(int width, int height, std::size_t threads)
{
    if (thumbnailMade_.made && thumbnail_.width == width && thumbnail_.height == height) {
        areaShrinkRows(capture_, thumbnail_, areaShrinkRowsReading(capture_.height, height, thumbnailMade_.staleRows),
                       threads);
    } else {
        thumbnailMade_.made = false;
        thumbnail_ = areaShrink(capture_, width, height, threads);
    }
    thumbnailMade_.markMade(static_cast<std::size_t>(capture_.height));
    return thumbnail_;
}

std::vector<std::uint8_t> PictureCache::encode(int width, int height, PictureFormat format, int quality,
                                               std::size_t threads)
{
    return make(width, height, format, quality, threads, false);
}

std::optional<std::vector<std::uint8_t>> PictureCache::encodePNGAsBase64Text(int width, int height,
                                                                              std::size_t threads)
{
    if (!keeping_ || capture_.pixels.empty())
        return std::nullopt;
    return make(width, height, PictureFormat::png, 0, threads, true);
}

std::vector<std::uint8_t> PictureCache::make(int width, int height, PictureFormat format, int quality,
                                             std::size_t threads, bool asText)
{
    // The quality means nothing to PNG: pictures asked for at another stay the same kind.
    if (format == PictureFormat::png)
        quality = 0;
    const bool sameOutput = outputMade_.made && outputWidth_ == width && outputHeight_ == height
        && outputFormat_ == format && outputQuality_ == quality;
    // Marked invalid until the new file is whole: a throw below leaves nothing to reuse.
    outputMade_.made = false;
    if (!sameOutput) {
        jpeg_.clear();
        png_.clear();
    }
    try {
        const std::vector<std::uint8_t>* changed = sameOutput ? &outputMade_.staleRows : nullptr;
        const Image* picture = &capture_;
        std::vector<std::uint8_t> shrunkRows;
        if (width != capture_.width || height != capture_.height) {
            if (sameOutput) {
                shrunkRows = areaShrinkRowsReading(capture_.height, height, outputMade_.staleRows);
                areaShrinkRows(capture_, shrunk_, shrunkRows, threads);
                changed = &shrunkRows;
            } else {
                releaseImage(shrunk_);
                shrunk_ = areaShrink(capture_, width, height, threads);
            }
            picture = &shrunk_;
        } else {
            releaseImage(shrunk_);
        }
        std::vector<std::uint8_t> file = format == PictureFormat::jpeg ? jpeg_.write(*picture, quality, changed, threads)
            : asText                                                   ? png_.writeBase64Text(*picture, changed, threads)
                                                                       : png_.write(*picture, changed, threads);
        outputWidth_ = width;
        outputHeight_ = height;
        outputFormat_ = format;
        outputQuality_ = quality;
        outputMade_.markMade(static_cast<std::size_t>(capture_.height));
        if (!keeping_)
            clear();
        return file;
    } catch (...) {
        jpeg_.clear();
        png_.clear();
        releaseImage(shrunk_);
        throw;
    }
}

void PictureCache::clear()
{
    lentWidth_ = lentHeight_ = 0;
    thumbnailMade_ = {};
    outputMade_ = {};
    releaseImage(capture_);
    releaseImage(thumbnail_);
    releaseImage(shrunk_);
    jpeg_.clear();
    png_.clear();
}
