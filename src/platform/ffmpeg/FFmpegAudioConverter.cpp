#include "platform/ffmpeg/FFmpegAudioConverter.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

bool usableRate(double rate) { return rate >= 1 && rate <= INT_MAX; }

// The resampler's format for one channel of the type; 24-bit samples are widened to 32.
AVSampleFormat resamplerFormatOf(SampleType type)
{
    switch (type) {
    case SampleType::unsigned8:
        return AV_SAMPLE_FMT_U8;
    case SampleType::signed16:
        return AV_SAMPLE_FMT_S16;
    case SampleType::signed24:
    case SampleType::signed24In32:
    case SampleType::signed32:
        return AV_SAMPLE_FMT_S32;
    case SampleType::float32:
        return AV_SAMPLE_FMT_FLT;
    case SampleType::float64:
        return AV_SAMPLE_FMT_DBL;
    }
    return AV_SAMPLE_FMT_NONE;
}

template <std::size_t Size>
void pickSamples(const std::uint8_t* from, std::size_t stride, std::size_t frames, std::uint8_t* to)
{
    for (std::size_t frame = 0; frame < frames; ++frame, from += stride, to += Size)
        std::memcpy(to, from, Size);
}

// Three bytes in the machine's order, or the low three of four, as the top of an int32.
std::int32_t widened24(const std::uint8_t* sample, bool packed)
{
    std::uint32_t value = 0;
    if (!packed)
        std::memcpy(&value, sample, 4);
    else if constexpr (std::endian::native == std::endian::little)
        std::memcpy(&value, sample, 3);
    else
        std::memcpy(reinterpret_cast<std::uint8_t*>(&value) + 1, sample, 3);
    return static_cast<std::int32_t>(value << 8);
}

}

std::unique_ptr<FFmpegAudioConverter> FFmpegAudioConverter::make(const AudioFormat& from, const AudioFormat& to)
{
    if (!usableRate(from.sampleRate) || from.channelCount < 1 || !usableRate(to.sampleRate) || to.channelCount != 1
        || to.sampleType != SampleType::float32)
        return nullptr;
    // The libraries would print to standard error, which carries only the process's own messages.
    av_log_set_level(AV_LOG_QUIET);
    SwrContext* resampler = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (swr_alloc_set_opts2(&resampler, &mono, AV_SAMPLE_FMT_FLT, static_cast<int>(std::lround(to.sampleRate)), &mono,
                            resamplerFormatOf(from.sampleType), static_cast<int>(std::lround(from.sampleRate)), 0,
                            nullptr)
            < 0
        || swr_init(resampler) < 0) {
        swr_free(&resampler);
        return nullptr;
    }
    return std::unique_ptr<FFmpegAudioConverter>(new FFmpegAudioConverter(from, resampler));
}

FFmpegAudioConverter::FFmpegAudioConverter(const AudioFormat& from, SwrContext* resampler)
    : from_(from),
      resampler_(resampler)
{
}

FFmpegAudioConverter::~FFmpegAudioConverter() { swr_free(&resampler_); }

const std::uint8_t* FFmpegAudioConverter::firstChannel(const AudioBuffer& input)
{
    static constexpr std::uint8_t nothing = 0;
    if (input.format != from_ || input.frameLength < 0 || input.frameLength > INT_MAX || input.planes.empty())
        return nullptr;
    const auto frames = static_cast<std::size_t>(input.frameLength);
    const std::size_t sampleBytes = from_.bytesPerSample();
    const std::size_t stride = (from_.interleaved ? static_cast<std::size_t>(from_.channelCount) : 1) * sampleBytes;
    if (input.planes[0].size() < frames * stride)
        return nullptr;
    if (frames == 0)
        return &nothing;
    const std::uint8_t* first = input.planes[0].data();
    const bool widen = from_.sampleType == SampleType::signed24 || from_.sampleType == SampleType::signed24In32;
    if (stride == sampleBytes && !widen)
        return first;
    if (widen) {
        scratch_.resize(frames * 4);
        const bool packed = from_.sampleType == SampleType::signed24;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const std::int32_t value = widened24(first + frame * stride, packed);
            std::memcpy(scratch_.data() + frame * 4, &value, 4);
        }
        return scratch_.data();
    }
    scratch_.resize(frames * sampleBytes);
    switch (sampleBytes) {
    case 1:
        pickSamples<1>(first, stride, frames, scratch_.data());
        break;
    case 2:
        pickSamples<2>(first, stride, frames, scratch_.data());
        break;
    case 4:
        pickSamples<4>(first, stride, frames, scratch_.data());
        break;
    default:
        pickSamples<8>(first, stride, frames, scratch_.data());
        break;
    }
    return scratch_.data();
}

AudioConverter::Status FFmpegAudioConverter::convert(const AudioBuffer& input, std::span<float> output,
                                                     std::uint32_t& frameLength)
{
    frameLength = 0;
    const std::uint8_t* first = firstChannel(input);
    if (!first)
        return Status::error;
    float none = 0;
    auto* out = reinterpret_cast<std::uint8_t*>(output.empty() ? &none : output.data());
    const int capacity = static_cast<int>(std::min<std::size_t>(output.size(), INT_MAX));
    // Never called without input: that would flush the resampler and end its stream.
    const int made = swr_convert(resampler_, &out, capacity, &first, static_cast<int>(input.frameLength));
    if (made < 0)
        return Status::error;
    frameLength = static_cast<std::uint32_t>(made);
    return made > 0 ? Status::haveData : Status::inputRanDry;
}
