#include "imaging/AreaShrink.hpp"

#include "imaging/Parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The two loops that do the work, made twice: for the processors the build targets and for
// those with AVX2, picked when the program loads. Without FMA, both compute the same floats.
#if defined(__x86_64__) && defined(__GNUC__)
#define VELMAR_WITH_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define VELMAR_WITH_AVX2
#endif

// The source pixels each output pixel covers along one axis, and by how much, in whole
// numbers: in units where a source pixel is outputLength / g long and an output pixel
// sourceLength / g (g their greatest common divisor), every overlap is a whole number of
// units. Output i reads `count[i]` source pixels from `first[i]`, with weights
// `weights[offset[i] ...]` that add up to exactly `total`, whatever the ratio.
struct Taps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<std::size_t> offset;
    std::vector<std::uint32_t> weights;
    std::uint32_t total = 1;
};

Taps taps(int sourceLength, int outputLength)
{
    const auto divisor = static_cast<std::uint64_t>(std::gcd(sourceLength, outputLength));
    const std::uint64_t sourceUnit = static_cast<std::uint64_t>(outputLength) / divisor;
    const std::uint64_t outputUnit = static_cast<std::uint64_t>(sourceLength) / divisor;
    Taps result;
    result.total = static_cast<std::uint32_t>(outputUnit);
    for (int i = 0; i < outputLength; ++i) {
        const std::uint64_t begin = static_cast<std::uint64_t>(i) * outputUnit;
        const std::uint64_t end = begin + outputUnit;
        const auto first = static_cast<int>(begin / sourceUnit);
        const auto last = static_cast<int>((end - 1) / sourceUnit);
        result.first.push_back(first);
        result.count.push_back(last - first + 1);
        result.offset.push_back(result.weights.size());
        for (int s = first; s <= last; ++s) {
            const std::uint64_t from = std::max(begin, static_cast<std::uint64_t>(s) * sourceUnit);
            const std::uint64_t to = std::min(end, static_cast<std::uint64_t>(s + 1) * sourceUnit);
            result.weights.push_back(static_cast<std::uint32_t>(to - from));
        }
    }
    return result;
}

// A pixel's four channels as one vector, for going across.
using Floats = float __attribute__((vector_size(16)));
using Words = std::int32_t __attribute__((vector_size(16)));
using Bytes = std::uint8_t __attribute__((vector_size(4)));

Floats pixelAt(const float* at)
{
    Floats value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The sum is an average plus one half, within 0.5 and 255.5: truncation rounds it.
void store(std::uint8_t* at, Floats sum)
{
#ifdef __SSE2__
    const __m128i words = _mm_cvttps_epi32(__m128(sum));
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(words, words), _mm_setzero_si128());
    const std::int32_t packed = _mm_cvtsi128_si32(bytes);
    std::memcpy(at, &packed, sizeof packed);
#else
    const Bytes bytes = __builtin_convertvector(__builtin_convertvector(sum, Words), Bytes);
    std::memcpy(at, &bytes, sizeof bytes);
#endif
}

// Down: one output row's sums over whole source rows, a loop over contiguous bytes. Each
// sum is at most 255 times the total of the weights down, so it is a whole number that a
// float holds exactly (below 2^24 for any picture under 65,793 rows).
VELMAR_WITH_AVX2 void sumDown(const Image& image, const Taps& down, int y, std::vector<float>& sums)
{
    const std::size_t length = sums.size();
    const std::uint32_t* weight = down.weights.data() + down.offset[y];
    const std::uint8_t* row = image.row(down.first[y]);
    const auto first = static_cast<float>(weight[0]);
    for (std::size_t i = 0; i < length; ++i)
        sums[i] = static_cast<float>(row[i]) * first;
    for (int t = 1; t < down.count[y]; ++t) {
        row = image.row(down.first[y] + t);
        const auto w = static_cast<float>(weight[t]);
        for (std::size_t i = 0; i < length; ++i)
            sums[i] += static_cast<float>(row[i]) * w;
    }
}

// Across, when every output pixel takes at most three source pixels (shrinking to half
// or more, the usual case): three taps each, the missing ones with weight 0, so the loop
// has no inner branch. A float per weight is exact enough for three terms.
class AcrossInThrees {
public:
    static bool fits(const Taps& across, int sourceWidth)
    {
        return sourceWidth >= 3 && *std::max_element(across.count.begin(), across.count.end()) <= 3;
    }

    AcrossInThrees(const Taps& across, int sourceWidth, double scale)
        : first_(across.first.size()), weights_(across.first.size() * 3, 0.0f)
    {
        for (std::size_t x = 0; x < first_.size(); ++x) {
            // The last pixels' third tap is moved back inside the row, with weight 0.
            first_[x] = std::min(across.first[x], sourceWidth - 3);
            for (int t = 0; t < across.count[x]; ++t)
                weights_[x * 3 + static_cast<std::size_t>(across.first[x] - first_[x] + t)] =
                    static_cast<float>(across.weights[across.offset[x] + static_cast<std::size_t>(t)] * scale);
        }
    }

    VELMAR_WITH_AVX2 void run(const std::vector<float>& sums, std::uint8_t* out) const
    {
        for (std::size_t x = 0; x < first_.size(); ++x) {
            const float* pixel = sums.data() + static_cast<std::size_t>(first_[x]) * 4;
            const float* w = weights_.data() + x * 3;
            const Floats sum = Floats{0.5f, 0.5f, 0.5f, 0.5f} + pixelAt(pixel) * w[0] + pixelAt(pixel + 4) * w[1]
                + pixelAt(pixel + 8) * w[2];
            store(out + x * 4, sum);
        }
    }

private:
    std::vector<int> first_;
    std::vector<float> weights_;
};

// Across in general, for any number of taps: the sums of whole numbers in doubles, exact
// below 2^53, scaled once at the end.
void acrossInGeneral(const Taps& across, const std::vector<float>& sums, double scale, std::uint8_t* out)
{
    for (std::size_t x = 0; x < across.first.size(); ++x) {
        const float* pixel = sums.data() + static_cast<std::size_t>(across.first[x]) * 4;
        const std::uint32_t* weight = across.weights.data() + across.offset[x];
        double total[4] = {0, 0, 0, 0};
        for (int t = 0; t < across.count[x]; ++t, pixel += 4)
            for (int channel = 0; channel < 4; ++channel)
                total[channel] += static_cast<double>(weight[t]) * static_cast<double>(pixel[channel]);
        for (int channel = 0; channel < 4; ++channel)
            out[x * 4 + static_cast<std::size_t>(channel)] =
                static_cast<std::uint8_t>(std::min(255.0, total[channel] * scale + 0.5));
    }
}

// Output rows a thread takes at a time: few enough bands to share out evenly, enough rows
// in each that taking one costs nothing.
constexpr std::size_t rowsPerBand = 16;

} // namespace

void areaShrinkRows(const Image& image, Image& result, const std::vector<std::uint8_t>& rows, std::size_t threads)
{
    const int width = result.width, height = result.height;
    const Taps down = taps(image.height, height);
    const Taps across = taps(image.width, width);
    // Both passes' weights in units; one division by their product gives the average.
    const double scale = 1.0 / (static_cast<double>(down.total) * static_cast<double>(across.total));
    std::optional<AcrossInThrees> inThrees;
    if (AcrossInThrees::fits(across, image.width))
        inThrees.emplace(across, image.width, scale);

    std::vector<int> wanted;
    for (int y = 0; y < height; ++y)
        if (rows.empty() || rows[static_cast<std::size_t>(y)])
            wanted.push_back(y);
    // Output rows are shared out in bands; each row is made the same way whichever thread
    // makes it, and whether its neighbours are made too: down into one row of sums, which
    // stays in the cache, then across it.
    const std::size_t bands = (wanted.size() + rowsPerBand - 1) / rowsPerBand;
    if (bands == 0)
        return;
    std::atomic<std::size_t> next{0};
    runOnThreads(std::min(threads, bands), [&] {
        std::vector<float> sums(static_cast<std::size_t>(image.width) * 4);
        for (std::size_t band; (band = next++) < bands;) {
            const std::size_t first = band * rowsPerBand;
            const std::size_t last = std::min(wanted.size(), first + rowsPerBand);
            for (std::size_t i = first; i < last; ++i) {
                const int y = wanted[i];
                sumDown(image, down, y, sums);
                if (inThrees)
                    inThrees->run(sums, result.row(y));
                else
                    acrossInGeneral(across, sums, scale, result.row(y));
            }
        }
    });
}

std::vector<std::uint8_t> areaShrinkRowsReading(int sourceHeight, int height, const std::vector<std::uint8_t>& changed)
{
    const Taps down = taps(sourceHeight, height);
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        const int first = down.first[static_cast<std::size_t>(y)];
        for (int t = 0; t < down.count[static_cast<std::size_t>(y)] && !rows[static_cast<std::size_t>(y)]; ++t)
            rows[static_cast<std::size_t>(y)] = changed[static_cast<std::size_t>(first + t)];
    }
    return rows;
}

Image areaShrink(const Image& image, int width, int height, std::size_t threads)
{
    Image result = Image::blank(width, height);
    areaShrinkRows(image, result, {}, threads);
    return result;
}
