#include "platform/linux/AreaShrink.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The source pixels each output pixel covers along one axis, and by how much: output i
// reads `count[i]` source pixels from `first[i]`, with weights `weights[offset[i] ...]`
// that add up to exactly 1 << bits.
struct Taps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<std::size_t> offset;
    std::vector<std::uint16_t> weights;
};

Taps taps(int sourceLength, int outputLength, int bits)
{
    Taps result;
    const std::uint32_t one = 1u << bits;
    const double scale = static_cast<double>(sourceLength) / outputLength;
    for (int i = 0; i < outputLength; ++i) {
        const double begin = i * scale;
        const double end = std::min<double>((i + 1) * scale, sourceLength);
        const int first = std::min(static_cast<int>(begin), sourceLength - 1);
        const int last = std::max(first, std::min(static_cast<int>(std::ceil(end)) - 1, sourceLength - 1));
        result.first.push_back(first);
        result.count.push_back(last - first + 1);
        result.offset.push_back(result.weights.size());
        std::uint32_t sum = 0;
        std::size_t largest = result.weights.size();
        for (int s = first; s <= last; ++s) {
            const double overlap = std::min<double>(end, s + 1) - std::max<double>(begin, s);
            const auto weight = static_cast<std::uint16_t>(std::lround(std::max(0.0, overlap) / scale * one));
            if (s > first && weight > result.weights[largest])
                largest = result.weights.size();
            result.weights.push_back(weight);
            sum += weight;
        }
        // Rounding may leave the sum a little off; the largest weight absorbs it, so a flat
        // colour comes out exactly.
        result.weights[largest] = static_cast<std::uint16_t>(result.weights[largest] + one - sum);
    }
    return result;
}

// Down the picture the weights have 8 bits, so that a byte times a weight, and the sum of
// them, fits 16 bits exactly: the first pass works on 16-bit lanes. That is exact enough
// while a narrowed row takes few source rows; beyond `shortDown` rows the rounding of the
// weights would add up, and the pass falls back to 14 bits. Across, always 14 bits.
constexpr int downBits = 8;
constexpr int shortDown = 4;
constexpr int acrossBits = 14;

// A pixel's four channels as one vector, for the second pass.
using Halves = std::uint16_t __attribute__((vector_size(8)));
using Words = std::int32_t __attribute__((vector_size(16)));
using Floats = float __attribute__((vector_size(16)));
using Bytes = std::uint8_t __attribute__((vector_size(4)));

} // namespace

Image areaShrink(const Image& image, int width, int height)
{
    const Taps down = taps(image.height, height, downBits);
    const Taps across = taps(image.width, width, acrossBits);
    const std::size_t sourceRow = static_cast<std::size_t>(image.width) * 4;

    // Pass one, down: each narrowed row is a weighted sum of whole source rows, a loop over
    // contiguous bytes. The sums are the averages times 256, kept whole for the second pass.
    std::vector<std::uint16_t> narrowed(sourceRow * static_cast<std::size_t>(height));
    if (*std::max_element(down.count.begin(), down.count.end()) <= shortDown) {
        for (int y = 0; y < height; ++y) {
            const std::uint16_t* weight = down.weights.data() + down.offset[y];
            std::uint16_t* out = narrowed.data() + sourceRow * static_cast<std::size_t>(y);
            const std::uint8_t* row = image.row(down.first[y]);
            const std::uint16_t w0 = weight[0];
            for (std::size_t i = 0; i < sourceRow; ++i)
                out[i] = static_cast<std::uint16_t>(row[i] * w0);
            for (int t = 1; t < down.count[y]; ++t) {
                row = image.row(down.first[y] + t);
                const std::uint16_t w = weight[t];
                for (std::size_t i = 0; i < sourceRow; ++i)
                    out[i] = static_cast<std::uint16_t>(out[i] + row[i] * w);
            }
        }
    } else {
        // Many rows to a narrowed row: 8-bit weights would be too coarse, so 14-bit weights
        // and 32-bit sums.
        const Taps fine = taps(image.height, height, acrossBits);
        std::vector<std::uint32_t> sums(sourceRow);
        for (int y = 0; y < height; ++y) {
            std::fill(sums.begin(), sums.end(), 1u << (acrossBits - 8 - 1));
            const std::uint16_t* weight = fine.weights.data() + fine.offset[y];
            for (int t = 0; t < fine.count[y]; ++t) {
                const std::uint8_t* row = image.row(fine.first[y] + t);
                const std::uint32_t w = weight[t];
                for (std::size_t i = 0; i < sourceRow; ++i)
                    sums[i] += row[i] * w;
            }
            std::uint16_t* out = narrowed.data() + sourceRow * static_cast<std::size_t>(y);
            for (std::size_t i = 0; i < sourceRow; ++i)
                out[i] = static_cast<std::uint16_t>(sums[i] >> (acrossBits - 8));
        }
    }

    // Pass two, across the (fewer) narrowed rows: the four channels of a pixel as one
    // vector of floats, which plain SSE2 multiplies and adds in one instruction each.
    std::vector<float> weights(across.weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i)
        weights[i] = static_cast<float>(across.weights[i]) / static_cast<float>((1u << acrossBits) * 256u);
    Image result = Image::blank(width, height);
    const auto pixelOf = [](const std::uint16_t* at) {
#ifdef __SSE2__
        const __m128i halves = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
        return Floats(_mm_cvtepi32_ps(_mm_unpacklo_epi16(halves, _mm_setzero_si128())));
#else
        Halves value;
        std::memcpy(&value, at, sizeof value);
        return __builtin_convertvector(__builtin_convertvector(value, Words), Floats);
#endif
    };
    const auto store = [](std::uint8_t* at, Floats sum) {
        // The weights add up to 1, so the sum stays within 0.5 and 255.5.
#ifdef __SSE2__
        const __m128i words = _mm_cvttps_epi32(__m128(sum));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(words, words), _mm_setzero_si128());
        const std::int32_t packed = _mm_cvtsi128_si32(bytes);
        std::memcpy(at, &packed, sizeof packed);
#else
        const Bytes bytes = __builtin_convertvector(__builtin_convertvector(sum, Words), Bytes);
        std::memcpy(at, &bytes, sizeof bytes);
#endif
    };
    if (*std::max_element(across.count.begin(), across.count.end()) <= 3) {
        // Shrinking to half or more, the usual case: every output pixel takes three source
        // pixels, the missing ones with weight 0, so the loop has no inner branch. The last
        // pixels' third tap is moved back inside the row with its weight 0.
        std::vector<int> first(static_cast<std::size_t>(width));
        std::vector<float> weight3(static_cast<std::size_t>(width) * 3, 0.0f);
        for (int x = 0; x < width; ++x) {
            first[x] = std::min(across.first[x], image.width - 3 < 0 ? 0 : image.width - 3);
            for (int t = 0; t < across.count[x]; ++t)
                weight3[static_cast<std::size_t>(x) * 3 + static_cast<std::size_t>(across.first[x] - first[x] + t)] =
                    weights[across.offset[x] + static_cast<std::size_t>(t)];
        }
        if (image.width >= 3) {
            for (int y = 0; y < height; ++y) {
                const std::uint16_t* row = narrowed.data() + sourceRow * static_cast<std::size_t>(y);
                std::uint8_t* out = result.row(y);
                for (int x = 0; x < width; ++x) {
                    const std::uint16_t* pixel = row + static_cast<std::size_t>(first[x]) * 4;
                    const float* w = weight3.data() + static_cast<std::size_t>(x) * 3;
                    const Floats sum = Floats{0.5f, 0.5f, 0.5f, 0.5f} + pixelOf(pixel) * w[0] + pixelOf(pixel + 4) * w[1]
                        + pixelOf(pixel + 8) * w[2];
                    store(out + static_cast<std::size_t>(x) * 4, sum);
                }
            }
            return result;
        }
    }
    for (int y = 0; y < height; ++y) {
        const std::uint16_t* row = narrowed.data() + sourceRow * static_cast<std::size_t>(y);
        std::uint8_t* out = result.row(y);
        for (int x = 0; x < width; ++x) {
            const std::uint16_t* pixel = row + static_cast<std::size_t>(across.first[x]) * 4;
            const float* weight = weights.data() + across.offset[x];
            Floats sum = {0.5f, 0.5f, 0.5f, 0.5f};
            for (int t = 0; t < across.count[x]; ++t, pixel += 4)
                sum += pixelOf(pixel) * weight[t];
            store(out + static_cast<std::size_t>(x) * 4, sum);
        }
    }
    return result;
}
