#include "audio/AudioRecorder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

namespace {

using Date = ::Clock::Date;

Date at(double seconds)
{
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

std::vector<float> counting(std::size_t count, float from = 0)
{
    std::vector<float> samples(count);
    std::iota(samples.begin(), samples.end(), from);
    return samples;
}

}

TEST(AudioMixer, PartLengthIsTheSecondsAskedClampedToTenToThreeHundred)
{
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, std::int64_t> cases[] = {
        {5, 160000},           {10, 160000},          {60, 960000},           {10.00003, 160000},
        {10.00390625, 160063}, {299.99, 4799840},     {300, 4800000},         {1000, 4800000},
        {infinity, 4800000},   {-infinity, 160000},   {std::nan(""), 4800000}, {-3, 160000},
    };
    for (const auto& [seconds, frames] : cases)
        EXPECT_EQ(AudioRecorder::partFramesFor(seconds), frames) << seconds;
}

TEST(AudioMixer, TheQueueKeepsThreeSecondsThenItsNewestSecond)
{
    std::vector<float> fifo = counting(47500);
    AudioRecorder::enqueue(counting(1024, 47500), fifo);
    ASSERT_EQ(fifo.size(), 16000u);
    EXPECT_EQ(fifo.front(), 48524.0f - 16000);
    EXPECT_EQ(fifo.back(), 48523.0f);

    std::vector<float> full = counting(46976);
    AudioRecorder::enqueue(counting(1024, 46976), full);
    EXPECT_EQ(full.size(), 48000u);
    EXPECT_EQ(full.front(), 0.0f);
}

TEST(AudioMixer, TheClockBlockTakesWhatIsQueuedAsFarAsBothReach)
{
    struct Case {
        std::size_t block;
        std::size_t queued;
        std::size_t summed;
        std::size_t left;
    };
    for (const Case c : {Case{1024, 300, 300, 0}, Case{100, 5000, 100, 4900}, Case{512, 0, 0, 0}, Case{64, 64, 64, 0}}) {
        std::vector<float> block(c.block, 0.25f);
        std::vector<float> fifo(c.queued, 0.5f);
        if (!fifo.empty())
            fifo.back() = 0.125f; // the newest queued sample must be the one left last
        AudioRecorder::mix(block, fifo);
        for (std::size_t i = 0; i < c.block; ++i)
            ASSERT_EQ(block[i], i < c.summed ? (i + 1 == c.queued ? 0.375f : 0.75f) : 0.25f) << c.block << " " << i;
        EXPECT_EQ(fifo.size(), c.left);
        if (c.left) {
            EXPECT_EQ(fifo.back(), 0.125f);
        }
    }
}

TEST(AudioMixer, SumsAreClippedAndTheLevelIsFourTimesTheirRootMeanSquare)
{
    constexpr float infinity = std::numeric_limits<float>::infinity();
    std::vector<float> block{0.8f, -0.9f, std::nanf(""), infinity, -infinity, 0.5f};
    std::vector<float> fifo{0.7f, -0.5f, 0.0f, 0.0f, 0.0f, std::nanf("")};
    AudioRecorder::mix(block, fifo);
    EXPECT_EQ(block, (std::vector<float>{1, -1, 1, 1, -1, 1}));

    const std::pair<std::vector<float>, float> levels[] = {
        {std::vector<float>(1024, 1.0f), 1.0f},
        {std::vector<float>(1024, 0.0f), 0.0f},
        {std::vector<float>(1024, 0.1f), 0.4f},
        {std::vector<float>(1024, -0.2f), 0.8f},
    };
    for (auto [samples, level] : levels) {
        std::vector<float> none;
        EXPECT_NEAR(AudioRecorder::mix(samples, none), level, 1e-5); // summed in 32 bits
    }
}

TEST(AudioMixer, APartStartsWhereTheLastEndedUnlessAudioPausedForMoreThanASecond)
{
    const auto part = [](Date ended) {
        AudioRecorder::Part part;
        part.endedAt = ended;
        return std::vector<AudioRecorder::Part>{part};
    };
    const Date now = at(1714979300);
    EXPECT_EQ(AudioRecorder::partStart({}, now), now);
    EXPECT_EQ(AudioRecorder::partStart(part(at(1714979299.5)), now), at(1714979299.5)); // kept pace
    EXPECT_EQ(AudioRecorder::partStart(part(at(1714979299)), now), at(1714979299));     // exactly a second
    EXPECT_EQ(AudioRecorder::partStart(part(at(1714979295)), now), at(1714979299));     // a gap: now - 1 s
    EXPECT_EQ(AudioRecorder::partStart(part(at(1714979303)), now), at(1714979303));     // ran ahead
}

TEST(AudioMixer, TimesInNamesAndStatus)
{
    const Date date = at(1714979289.1237);
    EXPECT_EQ(AudioRecorder::milliseconds(date), 1714979289123);
    EXPECT_EQ(AudioRecorder::iso(date), "2024-05-06T07:08:09.123Z");
    EXPECT_EQ(AudioRecorder::iso(at(0)), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(AudioRecorder::iso(Date(std::chrono::milliseconds(951782400999))), "2000-02-29T00:00:00.999Z");
}
