#pragma once

#include "platform/Audio.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <span>
#include <vector>

// Test signals and their measures, for the converter and file writer tests.

inline std::vector<float> tone(double frequency, double rate, std::size_t frames, float amplitude = 0.5f)
{
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = amplitude
            * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return samples;
}

inline double rms(std::span<const float> samples)
{
    double sum = 0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// From the upward zero crossings: good to a few hertz over a second of a clean tone.
inline double frequency(std::span<const float> samples, double rate)
{
    std::size_t rises = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        rises += samples[i - 1] < 0 && samples[i] >= 0;
    return samples.empty() ? 0 : static_cast<double>(rises) * rate / static_cast<double>(samples.size());
}

// One sample of the type in the machine's order; `topByte` fills the unused byte of
// signed24In32, which readers must ignore.
inline void storeSample(std::uint8_t* at, SampleType type, double value, std::uint8_t topByte = 0)
{
    switch (type) {
    case SampleType::unsigned8:
        *at = static_cast<std::uint8_t>(std::lround(value * 127.0) + 128);
        break;
    case SampleType::signed16: {
        const auto v = static_cast<std::int16_t>(std::lround(value * 32767.0));
        std::memcpy(at, &v, 2);
        break;
    }
    case SampleType::signed24:
    case SampleType::signed24In32: {
        const auto v
            = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value * 8388607.0))) & 0xFFFFFFu;
        std::memcpy(at, &v, 3);
        if (type == SampleType::signed24In32)
            at[3] = topByte;
        break;
    }
    case SampleType::signed32: {
        const auto v = static_cast<std::int32_t>(std::llround(value * 2147483647.0));
        std::memcpy(at, &v, 4);
        break;
    }
    case SampleType::float32: {
        const auto v = static_cast<float>(value);
        std::memcpy(at, &v, 4);
        break;
    }
    case SampleType::float64:
        std::memcpy(at, &value, 8);
        break;
    }
}

// A buffer of the format whose channel c holds channels[c] (all of equal length).
inline AudioBuffer makeBuffer(const AudioFormat& format, const std::vector<std::vector<float>>& channels,
                              std::uint8_t topByte = 0)
{
    AudioBuffer buffer;
    buffer.format = format;
    const std::size_t frames = channels.at(0).size();
    buffer.frameLength = static_cast<std::int64_t>(frames);
    const std::size_t planes = format.interleaved ? 1 : static_cast<std::size_t>(format.channelCount);
    buffer.planes.assign(planes, std::vector<std::uint8_t>(frames * format.bytesPerFrame()));
    const std::size_t size = format.bytesPerSample();
    for (std::size_t c = 0; c < static_cast<std::size_t>(format.channelCount); ++c) {
        auto& plane = buffer.planes[format.interleaved ? 0 : c];
        for (std::size_t f = 0; f < frames; ++f) {
            const std::size_t index = format.interleaved ? f * static_cast<std::size_t>(format.channelCount) + c : f;
            storeSample(plane.data() + index * size, format.sampleType, channels[c][f], topByte);
        }
    }
    return buffer;
}

// The frames [from, from + count) of a buffer, as a buffer of its own.
inline AudioBuffer slice(const AudioBuffer& buffer, std::size_t from, std::size_t count)
{
    AudioBuffer part;
    part.format = buffer.format;
    part.frameLength = static_cast<std::int64_t>(count);
    const std::size_t frameBytes = buffer.format.bytesPerFrame();
    for (const auto& plane : buffer.planes)
        part.planes.emplace_back(plane.begin() + static_cast<std::ptrdiff_t>(from * frameBytes),
                                 plane.begin() + static_cast<std::ptrdiff_t>((from + count) * frameBytes));
    return part;
}
