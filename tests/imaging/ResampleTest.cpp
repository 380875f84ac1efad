#include "imaging/Resample.hpp"

#include "BlankImage.hpp"
#include "imaging/AreaShrink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

struct Sizes {
    int sourceWidth, sourceHeight, width, height;
};

std::string describe(const Sizes& sizes)
{
    return std::to_string(sizes.sourceWidth) + "x" + std::to_string(sizes.sourceHeight) + " to "
        + std::to_string(sizes.width) + "x" + std::to_string(sizes.height);
}

// Every byte, alpha included, random; the rows padded with 0xEE that must not leak in.
Image noise(int width, int height, unsigned seed)
{
    Image image = blankImage(width, height, 12);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 4; ++x)
            image.row(y)[x] = static_cast<std::uint8_t>(random() & 255);
    return image;
}

// The weights of the source pixels for each output pixel along one axis, in doubles, from
// the definition: the Keys cubic (a = -0.5) around the aligned centre, with the edge pixels
// standing in for those past them, where the axis grows; the share of the output pixel each
// source pixel covers where it shrinks; the pixel itself where it keeps its size.
std::vector<std::vector<double>> referenceWeights(int source, int output)
{
    const auto cubic = [](double distance) {
        const double d = std::abs(distance);
        return d < 1 ? 1.5 * d * d * d - 2.5 * d * d + 1 : d < 2 ? -0.5 * d * d * d + 2.5 * d * d - 4 * d + 2 : 0.0;
    };
    std::vector<std::vector<double>> weights(static_cast<std::size_t>(output), std::vector<double>(source, 0.0));
    const double scale = static_cast<double>(source) / output;
    for (int o = 0; o < output; ++o) {
        auto& row = weights[static_cast<std::size_t>(o)];
        if (output > source) {
            const double centre = (o + 0.5) * scale - 0.5;
            for (int k = static_cast<int>(std::floor(centre)) - 3; k <= static_cast<int>(std::floor(centre)) + 3; ++k)
                row[static_cast<std::size_t>(std::clamp(k, 0, source - 1))] += cubic(centre - k);
        } else if (output < source) {
            const double begin = o * scale, end = (o + 1) * scale;
            for (int s = 0; s < source; ++s)
                row[static_cast<std::size_t>(s)] =
                    std::max(0.0, std::min<double>(end, s + 1) - std::max<double>(begin, s)) / scale;
        } else {
            row[static_cast<std::size_t>(o)] = 1;
        }
    }
    return weights;
}

// Across, then down, in doubles, rounded and held to 0..255 only at the end.
std::vector<double> reference(const Image& image, int width, int height)
{
    const auto across = referenceWeights(image.width, width);
    const auto down = referenceWeights(image.height, height);
    std::vector<double> between(static_cast<std::size_t>(width) * image.height * 4, 0.0);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < width; ++x)
            for (int s = 0; s < image.width; ++s)
                for (int channel = 0; channel < 4; ++channel)
                    between[(static_cast<std::size_t>(y) * width + x) * 4 + channel] +=
                        across[static_cast<std::size_t>(x)][static_cast<std::size_t>(s)]
                        * image.row(y)[s * 4 + channel];
    std::vector<double> result(static_cast<std::size_t>(width) * height * 4, 0.0);
    for (int y = 0; y < height; ++y)
        for (int s = 0; s < image.height; ++s)
            for (std::size_t i = 0; i < static_cast<std::size_t>(width) * 4; ++i)
                result[static_cast<std::size_t>(y) * width * 4 + i] +=
                    down[static_cast<std::size_t>(y)][static_cast<std::size_t>(s)]
                    * between[static_cast<std::size_t>(s) * width * 4 + i];
    for (double& value : result)
        value = std::clamp(std::round(value), 0.0, 255.0);
    return result;
}

} // namespace

TEST(Resample, FlatColoursStayExact)
{
    // Whole-number weights that add up to one exactly: any drift shows on a flat colour,
    // most at extreme ratios and where windows are cut short by a tiny source.
    const std::vector<Sizes> cases = {
        {1, 1, 1, 2}, {1, 1, 5, 7}, {2, 1, 3, 9}, {3, 2, 7, 5}, {7, 5, 8, 13}, {13, 7, 1000, 3},
        {5, 9, 17, 3}, {640, 3, 9, 480}, {2560, 40, 7, 300}, {3, 2000, 300, 7}, {16, 9, 16, 40}, {16, 9, 41, 9},
    };
    const std::uint8_t colours[][4] = {{0, 0, 0, 0}, {255, 255, 255, 255}, {1, 128, 254, 77}};
    for (const Sizes& sizes : cases)
        for (const auto& colour : colours) {
            Image source = blankImage(sizes.sourceWidth, sizes.sourceHeight, 8);
            for (int y = 0; y < source.height; ++y)
                for (int x = 0; x < source.width; ++x)
                    std::copy_n(colour, 4, source.row(y) + x * 4);
            const Image resized = resizeEnlarging(source, sizes.width, sizes.height, 3);
            ASSERT_EQ(resized.width, sizes.width);
            ASSERT_EQ(resized.height, sizes.height);
            for (int y = 0; y < sizes.height; ++y)
                for (int x = 0; x < sizes.width * 4; ++x)
                    ASSERT_EQ(resized.row(y)[x], colour[x % 4])
                        << describe(sizes) << " at " << x / 4 << "," << y << " channel " << x % 4;
        }
}

TEST(Resample, MatchesTheDefinitionInDoublesOnAnyNumberOfThreads)
{
    // Noise in every byte reaches the cubic's overshoot, so rounding and holding to 0..255 are
    // checked too, on one thread and on several. Both orders of the passes are taken (the
    // cheaper one is picked by size), and one side shrinking or keeping its size while the
    // other grows.
    const std::vector<Sizes> cases = {
        {1, 1, 3, 2},   {2, 3, 9, 4},     {5, 4, 13, 11},  {37, 23, 100, 61}, {23, 37, 61, 100},
        {61, 40, 23, 97}, {40, 61, 97, 23}, {16, 9, 16, 40}, {100, 7, 333, 7},  {191, 107, 256, 160},
    };
    std::size_t offByOne = 0, compared = 0;
    for (const Sizes& sizes : cases) {
        const auto seed = static_cast<unsigned>(sizes.width * 7 + sizes.height);
        const Image source = noise(sizes.sourceWidth, sizes.sourceHeight, seed);
        const Image resized = resizeEnlarging(source, sizes.width, sizes.height, 1);
        ASSERT_EQ(resized.width, sizes.width);
        ASSERT_EQ(resized.height, sizes.height);
        const std::vector<double> exact = reference(source, sizes.width, sizes.height);
        for (int y = 0; y < sizes.height; ++y)
            for (int x = 0; x < sizes.width * 4; ++x) {
                const double difference =
                    std::abs(resized.row(y)[x] - exact[static_cast<std::size_t>(y) * sizes.width * 4 + x]);
                ASSERT_LE(difference, 1) << describe(sizes) << " at " << x / 4 << "," << y << " channel " << x % 4;
                offByOne += difference > 0;
            }
        compared += exact.size();
        EXPECT_EQ(resizeEnlarging(source, sizes.width, sizes.height, 4).pixels, resized.pixels) << describe(sizes);
    }
    // Rounding once, at the end, from enough precision between the passes: off by one only
    // where the exact value lies next to a half (rounding the intermediate to whole levels
    // would make it one byte in five).
    EXPECT_LT(offByOne, compared / 100);
}

TEST(Resample, AShrinkingSideIsTheAreaAverage)
{
    // Where the picture changes only along the side that shrinks, the growing side has nothing
    // to interpolate, and what remains must be the thumbnails' area average, down to rounding:
    // at ratios just under one, uneven ones and hundreds to one.
    const std::vector<Sizes> cases = {
        {97, 5, 41, 6}, {300, 2, 7, 9}, {2560, 3, 7, 50}, {1921, 4, 1920, 5}, {5, 97, 6, 41}, {3, 1000, 8, 13},
    };
    for (const Sizes& sizes : cases) {
        const bool acrossShrinks = sizes.width < sizes.sourceWidth;
        Image source = blankImage(sizes.sourceWidth, sizes.sourceHeight);
        std::mt19937 random(static_cast<unsigned>(sizes.sourceWidth));
        std::vector<std::uint8_t> line(static_cast<std::size_t>(std::max(sizes.sourceWidth, sizes.sourceHeight)) * 4);
        for (auto& value : line)
            value = static_cast<std::uint8_t>(random() & 255);
        for (int y = 0; y < source.height; ++y)
            for (int x = 0; x < source.width * 4; ++x)
                source.row(y)[x] = line[static_cast<std::size_t>(acrossShrinks ? x : y * 4 + x % 4)];
        const Image resized = resizeEnlarging(source, sizes.width, sizes.height, 2);
        const Image averaged = areaAverage(source, sizes.width, sizes.height);
        for (int y = 0; y < sizes.height; ++y)
            for (int x = 0; x < sizes.width * 4; ++x)
                ASSERT_LE(std::abs(resized.row(y)[x] - averaged.row(y)[x]), 1)
                    << describe(sizes) << " at " << x / 4 << "," << y << " channel " << x % 4;
    }
}
