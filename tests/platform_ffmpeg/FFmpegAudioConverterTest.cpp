#include "platform/ffmpeg/FFmpegAudioConverter.hpp"

#include "AudioSignals.hpp"

#include <gtest/gtest.h>

namespace {

const AudioFormat recorderFormat = AudioFormat::standard(16000, 1);

// Converts buffer after buffer as the recorder does: room for each buffer's share of
// output plus 64 frames held back from earlier buffers.
std::vector<float> convertAll(AudioConverter& converter, const std::vector<AudioBuffer>& buffers)
{
    std::vector<float> output;
    for (const auto& buffer : buffers) {
        std::vector<float> room(static_cast<std::size_t>(std::ceil(16000.0 / buffer.format.sampleRate
                                                                   * static_cast<double>(buffer.frameLength)))
                                + 64);
        std::uint32_t made = 0;
        EXPECT_NE(converter.convert(buffer, room, made), AudioConverter::Status::error);
        output.insert(output.end(), room.begin(), room.begin() + made);
    }
    return output;
}

// The buffer cut into pieces of the given sizes, taken in turn.
std::vector<AudioBuffer> pieces(const AudioBuffer& whole, const std::vector<std::size_t>& sizes)
{
    std::vector<AudioBuffer> result;
    const auto total = static_cast<std::size_t>(whole.frameLength);
    for (std::size_t at = 0, i = 0; at < total; ++i) {
        const std::size_t count = std::min(sizes[i % sizes.size()], total - at);
        result.push_back(slice(whole, at, count));
        at += count;
    }
    return result;
}

std::vector<float> silence(std::size_t frames) { return std::vector<float>(frames, 0.0f); }

std::unique_ptr<FFmpegAudioConverter> converterFrom(const AudioFormat& format)
{
    auto converter = FFmpegAudioConverter::make(format, recorderFormat);
    EXPECT_TRUE(converter) << format.description();
    return converter;
}

}

// The first channel is kept as it is, not mixed with the others: a tone alone on the
// second channel must vanish, and a tone on the first must keep its full level.
TEST(FFmpegAudioConverter, KeepsTheFirstChannelOnlyAndResamplesTo16000Hz)
{
    struct Case {
        bool interleaved;
        int toneChannel;
    };
    for (const Case c : {Case{true, 0}, Case{false, 0}, Case{true, 1}, Case{false, 1}}) {
        SCOPED_TRACE(testing::Message() << "interleaved " << c.interleaved << ", tone on channel " << c.toneChannel);
        const AudioFormat format{48000, 2, SampleType::float32, c.interleaved};
        const auto toned = tone(1000, 48000, 48000);
        const AudioBuffer second = c.toneChannel == 0 ? makeBuffer(format, {toned, silence(48000)})
                                                      : makeBuffer(format, {silence(48000), toned});
        auto converter = converterFrom(format);
        ASSERT_TRUE(converter);
        // 10 ms buffers, as a 48 kHz device delivers them.
        const auto output = convertAll(*converter, pieces(second, {480}));
        EXPECT_GE(output.size(), 16000u - 64);
        EXPECT_LE(output.size(), 16000u);
        const std::span<const float> settled = std::span(output).subspan(100);
        if (c.toneChannel == 0) {
            EXPECT_NEAR(rms(settled), 0.5 / std::sqrt(2.0), 0.01);
            EXPECT_NEAR(frequency(settled, 16000), 1000, 5);
        } else {
            EXPECT_LT(rms(settled), 1e-3);
        }
    }
}

// The resampler's state carries from call to call: however the input is cut, the output
// is the one-shot conversion, sample for sample.
TEST(FFmpegAudioConverter, ChunkedConversionEqualsOneShotConversion)
{
    const AudioFormat format{44100, 2, SampleType::signed16, true};
    auto left = tone(440, 44100, 44100);
    const auto high = tone(3000, 44100, 44100, 0.2f);
    for (std::size_t i = 0; i < left.size(); ++i)
        left[i] += high[i];
    const AudioBuffer whole = makeBuffer(format, {left, tone(700, 44100, 44100)});

    auto oneShot = converterFrom(format);
    auto chunked = converterFrom(format);
    ASSERT_TRUE(oneShot && chunked);
    const auto expected = convertAll(*oneShot, {whole});
    const auto actual = convertAll(*chunked, pieces(whole, {1, 7, 441, 1024, 13, 4096, 2}));
    ASSERT_GE(expected.size(), 16000u - 64);
    ASSERT_GE(actual.size(), expected.size() - 64);
    const std::size_t common = std::min(expected.size(), actual.size());
    double worst = 0;
    for (std::size_t i = 0; i < common; ++i)
        worst = std::max(worst, static_cast<double>(std::abs(expected[i] - actual[i])));
    EXPECT_LT(worst, 1e-5);
}

// Frames beyond the output's room wait inside the converter and come out, in order, with
// the next call, even one that brings no input.
TEST(FFmpegAudioConverter, KeepsFramesThatDoNotFitForTheNextCall)
{
    const AudioFormat format{48000, 1, SampleType::float32, true};
    const AudioBuffer input = makeBuffer(format, {tone(500, 48000, 4800)});
    auto reference = converterFrom(format);
    auto squeezed = converterFrom(format);
    ASSERT_TRUE(reference && squeezed);
    const auto expected = convertAll(*reference, {input});

    std::vector<float> room(100);
    std::uint32_t made = 0;
    EXPECT_EQ(squeezed->convert(input, room, made), AudioConverter::Status::haveData);
    EXPECT_EQ(made, 100u);
    std::vector<float> rest(4000);
    std::uint32_t more = 0;
    squeezed->convert(slice(input, 0, 0), rest, more);
    std::vector<float> actual(room.begin(), room.end());
    actual.insert(actual.end(), rest.begin(), rest.begin() + more);
    EXPECT_EQ(actual, expected);
}

// Every sample type, in every layout, is read at its true value: a tone at half scale on
// the first channel and another tone on the second, which must not leak through.
TEST(FFmpegAudioConverter, ReadsEverySampleTypeAndLayout)
{
    const SampleType types[]
        = {SampleType::unsigned8, SampleType::signed16, SampleType::signed24, SampleType::signed24In32,
           SampleType::signed32,  SampleType::float32,  SampleType::float64};
    struct Layout {
        int channels;
        bool interleaved;
    };
    for (const SampleType type : types) {
        for (const Layout layout : {Layout{1, true}, Layout{2, true}, Layout{2, false}}) {
            const AudioFormat format{44100, layout.channels, type, layout.interleaved};
            SCOPED_TRACE(format.description());
            std::vector<std::vector<float>> channels{tone(440, 44100, 44100)};
            if (layout.channels == 2)
                channels.push_back(tone(3000, 44100, 44100, 0.25f));
            // The unused top byte of 24-in-32 samples holds garbage, which must not count.
            const AudioBuffer input = makeBuffer(format, channels, 0xA5);
            auto converter = converterFrom(format);
            ASSERT_TRUE(converter);
            const auto output = convertAll(*converter, pieces(input, {1024}));
            ASSERT_GE(output.size(), 16000u - 64);
            const std::span<const float> settled = std::span(output).subspan(100);
            EXPECT_NEAR(rms(settled), 0.5 / std::sqrt(2.0), 0.01);
            EXPECT_NEAR(frequency(settled, 16000), 440, 5);
        }
    }
}

TEST(FFmpegAudioConverter, RefusesWhatItCannotConvert)
{
    const AudioFormat stereo{48000, 2, SampleType::float32, true};
    EXPECT_FALSE(FFmpegAudioConverter::make(AudioFormat{0, 2, SampleType::float32, true}, recorderFormat));
    EXPECT_FALSE(FFmpegAudioConverter::make(AudioFormat{48000, 0, SampleType::float32, true}, recorderFormat));
    EXPECT_FALSE(FFmpegAudioConverter::make(stereo, AudioFormat::standard(16000, 2)));
    EXPECT_FALSE(FFmpegAudioConverter::make(stereo, AudioFormat{16000, 1, SampleType::signed16, true}));

    // A buffer that is not what the converter was made for, or shorter than it claims.
    auto converter = converterFrom(stereo);
    ASSERT_TRUE(converter);
    std::vector<float> room(1000);
    std::uint32_t made = 7;
    EXPECT_EQ(
        converter->convert(makeBuffer(AudioFormat{44100, 2, SampleType::float32, true}, {silence(480), silence(480)}),
                           room, made),
        AudioConverter::Status::error);
    EXPECT_EQ(made, 0u);
    AudioBuffer shortBuffer = makeBuffer(stereo, {silence(480), silence(480)});
    shortBuffer.frameLength = 481;
    EXPECT_EQ(converter->convert(shortBuffer, room, made), AudioConverter::Status::error);
}
