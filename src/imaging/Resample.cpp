#include "imaging/Resample.hpp"

#include "imaging/Parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// Weights are whole numbers of 1/16384. The intermediate picture keeps levels in 1/64: a
// bicubic pass overshoots to about -32..287, which times 64 still fits 16 bits, and the
// second pass's sums (at most 1.25 x 18368 x 16384) fit 32.
constexpr int weightBits = 14;
constexpr std::int32_t one = std::int32_t{1} << weightBits;
constexpr int intermediateBits = 6;

// Output pixel o along one axis reads `taps` source pixels from first[o], with the weights
// weights[o * taps ...]. Every output has the same number of taps (zeros where it needs
// fewer), so the inner loops have one shape.
struct AxisWeights {
    int taps = 0;
    std::vector<int> first;
    std::vector<std::int32_t> weights;
};

// The Keys cubic with a = -0.5, at a distance in source pixels.
double keys(double distance)
{
    const double d = std::abs(distance);
    if (d < 1)
        return (1.5 * d - 2.5) * d * d + 1;
    if (d < 2)
        return ((-0.5 * d + 2.5) * d - 4) * d + 2;
    return 0;
}

// Rounds down, unlike integer division, for negative numerators too.
std::int64_t floorDivide(std::int64_t numerator, std::int64_t denominator)
{
    const std::int64_t quotient = numerator / denominator;
    return quotient * denominator > numerator ? quotient - 1 : quotient;
}

using Contributions = std::vector<std::pair<int, double>>;

// What output pixel o reads, as source index and weight, adding up to one.
Contributions contributions(int sourceLength, int outputLength, int o)
{
    Contributions result;
    const std::int64_t source = sourceLength, output = outputLength;
    if (outputLength > sourceLength) {
        // The output pixel's centre in source pixels, (o + 0.5) x source / output - 0.5, as
        // a whole part and a fraction over 2 x output, so that no rounding moves it.
        const std::int64_t numerator = (std::int64_t{2} * o + 1) * source - output;
        const std::int64_t base = floorDivide(numerator, 2 * output);
        const double fraction = static_cast<double>(numerator - base * 2 * output) / static_cast<double>(2 * output);
        for (int t = -1; t <= 2; ++t) {
            // Past an edge, the edge pixel stands in for the missing ones.
            const auto index = static_cast<int>(std::clamp<std::int64_t>(base + t, 0, source - 1));
            result.push_back({index, keys(t - fraction)});
        }
    } else if (outputLength < sourceLength) {
        // In units where a source pixel is `output` long and an output pixel `source` long,
        // every overlap is whole; partly covered pixels count for the part covered.
        const std::int64_t begin = std::int64_t{o} * source, end = begin + source;
        for (std::int64_t s = begin / output; s < source && s * output < end; ++s) {
            const std::int64_t overlap = std::min(end, (s + 1) * output) - std::max(begin, s * output);
            result.push_back({static_cast<int>(s), static_cast<double>(overlap) / static_cast<double>(source)});
        }
    } else {
        result.push_back({o, 1.0});
    }
    return result;
}

AxisWeights axisWeights(int sourceLength, int outputLength)
{
    std::vector<Contributions> all(static_cast<std::size_t>(outputLength));
    AxisWeights axis;
    for (int o = 0; o < outputLength; ++o) {
        auto& reads = all[static_cast<std::size_t>(o)] = contributions(sourceLength, outputLength, o);
        const auto [lowest, highest] = std::minmax_element(reads.begin(), reads.end());
        axis.taps = std::max(axis.taps, highest->first - lowest->first + 1);
    }
    axis.first.resize(static_cast<std::size_t>(outputLength));
    axis.weights.assign(static_cast<std::size_t>(outputLength) * static_cast<std::size_t>(axis.taps), 0);
    std::vector<double> exact(static_cast<std::size_t>(axis.taps));
    for (int o = 0; o < outputLength; ++o) {
        const auto& reads = all[static_cast<std::size_t>(o)];
        // Near the far edge the window starts early, so that it stays inside the source.
        const int first = std::min(std::min_element(reads.begin(), reads.end())->first, sourceLength - axis.taps);
        std::fill(exact.begin(), exact.end(), 0.0);
        for (const auto& [index, weight] : reads)
            exact[static_cast<std::size_t>(index - first)] += weight;
        // Each weight is the step between rounded running totals, and the last total is one
        // exactly: the weights add up to one whatever the rounding, and no error gathers.
        std::int32_t* weights = &axis.weights[static_cast<std::size_t>(o) * static_cast<std::size_t>(axis.taps)];
        double total = 0;
        std::int32_t rounded = 0;
        for (int t = 0; t < axis.taps; ++t) {
            total += exact[static_cast<std::size_t>(t)];
            const std::int32_t next = t + 1 == axis.taps ? one : static_cast<std::int32_t>(std::lround(total * one));
            weights[t] = next - rounded;
            rounded = next;
        }
        axis.first[static_cast<std::size_t>(o)] = first;
    }
    return axis;
}

// Rows of four values a pixel, `stride` values apart.
template <typename Value>
struct Plane {
    Value* data;
    std::size_t stride;
    Value* row(int y) const { return data + static_cast<std::size_t>(y) * stride; }
};

// A sum of weighted values, brought down by `shift` bits, rounded half up: an intermediate
// level as it stands, a final byte held to 0..255.
template <typename Out>
Out store(std::int32_t sum, int shift)
{
    const std::int32_t value = (sum + (std::int32_t{1} << (shift - 1))) >> shift;
    if constexpr (std::is_same_v<Out, std::uint8_t>)
        return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
    else
        return static_cast<Out>(value);
}

// One row across. A fixed count of taps (four for bicubic) lets the compiler unroll the loop.
template <int fixedTaps, typename In, typename Out>
void acrossRow(const In* source, Out* target, const AxisWeights& axis, int width, int shift)
{
    const int taps = fixedTaps ? fixedTaps : axis.taps;
    for (int x = 0; x < width; ++x) {
        const In* pixel = source + static_cast<std::size_t>(axis.first[static_cast<std::size_t>(x)]) * 4;
        const std::int32_t* weight = &axis.weights[static_cast<std::size_t>(x) * static_cast<std::size_t>(taps)];
        std::int32_t sums[4] = {0, 0, 0, 0};
        for (int t = 0; t < taps; ++t)
            for (int channel = 0; channel < 4; ++channel)
                sums[channel] += weight[t] * pixel[t * 4 + channel];
        for (int channel = 0; channel < 4; ++channel)
            target[x * 4 + channel] = store<Out>(sums[channel], shift);
    }
}

// One row down, from `taps` whole source rows at once: a plain multiply-add over contiguous
// values. Four taps (bicubic) go in one sweep with no running sums in memory.
template <typename In, typename Out>
void downRow(Plane<const In> source, Out* target, const AxisWeights& axis, int y, std::vector<std::int32_t>& sums,
             int shift)
{
    const std::size_t count = sums.size();
    const std::int32_t* weights = &axis.weights[static_cast<std::size_t>(y) * static_cast<std::size_t>(axis.taps)];
    if (axis.taps == 4) {
        const int first = axis.first[static_cast<std::size_t>(y)];
        const In* row0 = source.row(first);
        const In* row1 = source.row(first + 1);
        const In* row2 = source.row(first + 2);
        const In* row3 = source.row(first + 3);
        // In locals: a byte store might otherwise be taken to change them.
        const std::int32_t weight0 = weights[0], weight1 = weights[1], weight2 = weights[2], weight3 = weights[3];
        for (std::size_t i = 0; i < count; ++i)
            target[i] =
                store<Out>(weight0 * row0[i] + weight1 * row1[i] + weight2 * row2[i] + weight3 * row3[i], shift);
        return;
    }
    std::fill(sums.begin(), sums.end(), 0);
    for (int t = 0; t < axis.taps; ++t) {
        const std::int32_t weight = weights[t];
        if (weight == 0)
            continue;
        const In* row = source.row(axis.first[static_cast<std::size_t>(y)] + t);
        std::int32_t* sum = sums.data();
        for (std::size_t i = 0; i < count; ++i)
            sum[i] += weight * row[i];
    }
    for (std::size_t i = 0; i < count; ++i)
        target[i] = store<Out>(sums[i], shift);
}

enum class Direction { across, down };

// Makes every row of `target` (`width` x `height` pixels) from `source` along one axis, in
// bands of rows shared out over the threads.
template <typename In, typename Out>
void resamplePass(Plane<const In> source, Plane<Out> target, int width, int height, Direction direction,
                  const AxisWeights& axis, int shift, std::size_t threads)
{
    constexpr std::size_t rowsPerBand = 16;
    const std::size_t bands = (static_cast<std::size_t>(height) + rowsPerBand - 1) / rowsPerBand;
    std::atomic<std::size_t> next{0};
    runOnThreads(std::min(std::max<std::size_t>(threads, 1), bands), [&] {
        std::vector<std::int32_t> sums(direction == Direction::down ? static_cast<std::size_t>(width) * 4 : 0);
        for (std::size_t band; (band = next++) < bands;) {
            const int last = static_cast<int>(std::min(static_cast<std::size_t>(height), (band + 1) * rowsPerBand));
            for (int y = static_cast<int>(band * rowsPerBand); y < last; ++y) {
                if (direction == Direction::down)
                    downRow(source, target.row(y), axis, y, sums, shift);
                else if (axis.taps == 4)
                    acrossRow<4>(source.row(y), target.row(y), axis, width, shift);
                else
                    acrossRow<0>(source.row(y), target.row(y), axis, width, shift);
            }
        }
    });
}

}

Image resizeEnlarging(const Image& image, int width, int height, std::size_t threads)
{
    const AxisWeights across = axisWeights(image.width, width);
    const AxisWeights down = axisWeights(image.height, height);
    Image result = Image::blank(width, height);
    const Plane<const std::uint8_t> source{image.pixels.data(), image.bytesPerRow};
    const Plane<std::uint8_t> target{result.pixels.data(), result.bytesPerRow};

    // An axis that keeps its size needs no pass at all.
    if (height == image.height) {
        resamplePass(source, target, width, height, Direction::across, across, weightBits, threads);
        return result;
    }
    if (width == image.width) {
        resamplePass(source, target, width, height, Direction::down, down, weightBits, threads);
        return result;
    }

    // Otherwise the cheaper order, counted in multiply-adds: the first pass's output is the
    // intermediate, which is also the smaller of the two possible.
    const auto product = [](std::int64_t a, std::int64_t b, std::int64_t c) { return a * b * c; };
    const std::int64_t acrossFirst = product(width, image.height, across.taps) + product(width, height, down.taps);
    const std::int64_t downFirst = product(image.width, height, down.taps) + product(width, height, across.taps);
    if (acrossFirst <= downFirst) {
        std::vector<std::int16_t> between(static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(image.height));
        const Plane<std::int16_t> middle{between.data(), static_cast<std::size_t>(width) * 4};
        resamplePass(source, middle, width, image.height, Direction::across, across, weightBits - intermediateBits,
                     threads);
        const Plane<const std::int16_t> read{middle.data, middle.stride};
        resamplePass(read, target, width, height, Direction::down, down, weightBits + intermediateBits, threads);
    } else {
        std::vector<std::int16_t> between(static_cast<std::size_t>(image.width) * 4 * static_cast<std::size_t>(height));
        const Plane<std::int16_t> middle{between.data(), static_cast<std::size_t>(image.width) * 4};
        resamplePass(source, middle, image.width, height, Direction::down, down, weightBits - intermediateBits,
                     threads);
        const Plane<const std::int16_t> read{middle.data, middle.stride};
        resamplePass(read, target, width, height, Direction::across, across, weightBits + intermediateBits, threads);
    }
    return result;
}
