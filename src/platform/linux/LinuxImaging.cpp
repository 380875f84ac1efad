#include "platform/linux/LinuxImaging.hpp"

#include "base/PlatformError.hpp"
#include "platform/linux/AreaShrink.hpp"
#include "platform/linux/JPEGWriter.hpp"
#include "platform/linux/Parallel.hpp"
#include "platform/linux/PNGWriter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace {

void checkPicture(const Image& image, const char* operation)
{
    if (image.width < 1 || image.height < 1 || image.bytesPerRow < static_cast<std::size_t>(image.width) * 4
        || image.pixels.size() < image.bytesPerRow * static_cast<std::size_t>(image.height))
        throw PlatformError("Imaging", 0, std::string(operation) + ": the picture is empty or its pixels are missing");
}

struct SwsContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// For each source pixel along one axis, the output pixels it overlaps and by how much. In
// units where a source pixel is `outputLength` long and an output pixel `sourceLength` long,
// every overlap is a whole number and an output pixel's weights add up to `sourceLength`.
struct Overlap {
    int output;
    std::uint32_t weight;
};

std::vector<std::vector<Overlap>> overlaps(int sourceLength, int outputLength)
{
    std::vector<std::vector<Overlap>> result(static_cast<std::size_t>(sourceLength));
    const auto source = static_cast<std::uint64_t>(sourceLength);
    const auto output = static_cast<std::uint64_t>(outputLength);
    for (std::uint64_t s = 0; s < source; ++s) {
        const std::uint64_t begin = s * output, end = begin + output;
        for (std::uint64_t o = begin / source; o < output && o * source < end; ++o) {
            const std::uint64_t overlap = std::min(end, (o + 1) * source) - std::max(begin, o * source);
            result[s].push_back({static_cast<int>(o), static_cast<std::uint32_t>(overlap)});
        }
    }
    return result;
}

}

Image areaAverage(const Image& image, int width, int height)
{
    checkPicture(image, "thumbnail");
    if (width < 1 || height < 1)
        throw PlatformError("Imaging", 0, "thumbnail: the size must be at least 1 x 1");
    const auto columns = overlaps(image.width, width);
    const auto rows = overlaps(image.height, height);
    // The source rows of each output row, with their weights.
    std::vector<std::vector<std::pair<int, std::uint32_t>>> rowsOf(static_cast<std::size_t>(height));
    for (int y = 0; y < image.height; ++y)
        for (const Overlap& row : rows[static_cast<std::size_t>(y)])
            rowsOf[static_cast<std::size_t>(row.output)].push_back({y, row.weight});

    // Down first, a row at a time over contiguous bytes: an output row's weights add up to
    // the source height, so a column sum is at most 255 x the height and fits 32 bits.
    // Then across, in 64 bits: the whole-area sums reach 255 x the source area.
    const std::size_t sourceRow = static_cast<std::size_t>(image.width) * 4;
    std::vector<std::uint32_t> columnSums(sourceRow);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(width) * 4);
    Image result = Image::blank(width, height);
    const std::uint64_t area = static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height);
    for (int y = 0; y < height; ++y) {
        std::fill(columnSums.begin(), columnSums.end(), 0);
        for (const auto& [sourceY, weight] : rowsOf[static_cast<std::size_t>(y)]) {
            const std::uint8_t* row = image.row(sourceY);
            for (std::size_t i = 0; i < sourceRow; ++i)
                columnSums[i] += row[i] * weight;
        }
        std::fill(sums.begin(), sums.end(), 0);
        for (int x = 0; x < image.width; ++x)
            for (const Overlap& column : columns[static_cast<std::size_t>(x)])
                for (std::size_t channel = 0; channel < 4; ++channel)
                    sums[static_cast<std::size_t>(column.output) * 4 + channel] +=
                        std::uint64_t{columnSums[static_cast<std::size_t>(x) * 4 + channel]} * column.weight;
        std::uint8_t* out = result.row(y);
        for (std::size_t i = 0; i < sums.size(); ++i)
            out[i] = static_cast<std::uint8_t>((sums[i] + area / 2) / area);
    }
    return result;
}

Image LinuxImaging::resize(const Image& image, int width, int height)
{
    checkPicture(image, "resize");
    if (width < 1 || height < 1)
        throw PlatformError("Imaging", 0, "resize: the size must be at least 1 x 1");
    if (static_cast<std::int64_t>(width) * height > maximumPixels)
        throw PlatformError("Imaging", 0,
                            "resize: " + std::to_string(width) + " x " + std::to_string(height) + " is too large");
    if (image.bytesPerRow > static_cast<std::size_t>(std::numeric_limits<int>::max())
        || static_cast<std::size_t>(width) * 4 > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw PlatformError("swscale", 0, "resize: the picture is too wide");

    // Shrinking, the usual case: each new pixel is the average of what it covers, which
    // keeps thin text from aliasing. Enlarging (in either direction): bicubic through the
    // general scaler, where an area average would be blocky. Accurate rounding keeps flat
    // colours exact.
    if (width <= image.width && height <= image.height)
        return areaShrink(image, width, height, usableCores());
    const int flags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    std::unique_ptr<SwsContext, SwsContextDeleter> context(sws_getContext(
        image.width, image.height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr));
    if (!context)
        throw PlatformError("swscale", 0,
                            "resize: no scaler from " + std::to_string(image.width) + " x " + std::to_string(image.height)
                                + " to " + std::to_string(width) + " x " + std::to_string(height));

    Image result = Image::blank(width, height);
    const std::uint8_t* const sourcePlanes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(image.bytesPerRow), 0, 0, 0};
    std::uint8_t* const resultPlanes[4] = {result.pixels.data(), nullptr, nullptr, nullptr};
    const int resultStrides[4] = {static_cast<int>(result.bytesPerRow), 0, 0, 0};
    const int rows = sws_scale(context.get(), sourcePlanes, sourceStrides, 0, image.height, resultPlanes, resultStrides);
    if (rows != height)
        throw PlatformError("swscale", rows, "resize: the scaler wrote " + std::to_string(rows) + " of "
                                                 + std::to_string(height) + " rows");
    return result;
}

Image LinuxImaging::thumbnail(const Image& image, int width, int height)
{
    // The shrink is the same average, only faster; enlarging along a side needs the general one.
    checkPicture(image, "thumbnail");
    if (width >= 1 && height >= 1 && width <= image.width && height <= image.height)
        return areaShrink(image, width, height, usableCores());
    return areaAverage(image, width, height);
}

std::vector<std::uint8_t> LinuxImaging::encodePNG(const Image& image)
{
    checkPicture(image, "PNG");
    return writePNG(image, usableCores());
}

std::vector<std::uint8_t> LinuxImaging::encodeJPEG(const Image& image, double quality)
{
    checkPicture(image, "JPEG");
    if (!(quality >= minimumQuality))
        quality = minimumQuality;
    quality = std::min(quality, maximumQuality);
    return writeJPEG(image, static_cast<int>(std::lround(quality * 100)), usableCores());
}
