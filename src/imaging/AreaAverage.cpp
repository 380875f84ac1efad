#include "imaging/AreaShrink.hpp"

#include "base/PlatformError.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

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
