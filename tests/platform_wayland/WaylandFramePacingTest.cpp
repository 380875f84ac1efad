#include "platform/wayland/WaylandFramePacing.hpp"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = WaylandFramePacing::Clock;

const Clock::time_point start = Clock::time_point{} + 1000s;

TEST(WaylandFramePacing, TheIntervalFollowsTheRefreshRateWithinSaneBounds)
{
    const struct {
        int milliHertz;
        Clock::duration interval;
    } cases[] = {
        {60'000, 16'666'666ns}, {144'000, 6'944'444ns}, {0, 16'666'666ns},   // none named: 60 Hz
        {-5, 16'666'666ns},     {10'000, 100ms},       {1, 1s},             // 1 mHz
        {5'000'000, 1ms},                                                    // 5 kHz
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaylandFramePacing(c.milliHertz).interval(), c.interval) << c.milliHertz;
    // Composing and copying gets an interval, and never less than a slow machine needs.
    EXPECT_EQ(WaylandFramePacing(30'000).allowance(), WaylandFramePacing(30'000).interval());
    EXPECT_EQ(WaylandFramePacing(240'000).allowance(), 20ms);
}

TEST(WaylandFramePacing, NothingIsHeldBeforeAnyCommit)
{
    EXPECT_LE(WaylandFramePacing(60'000).holdsUntil(), start);
}

TEST(WaylandFramePacing, ACommitHoldsChangesForAnIntervalAndTheTimeToComposeThem)
{
    WaylandFramePacing pacing(50'000); // 20 ms
    pacing.committed(start);
    EXPECT_EQ(pacing.holdsUntil(), start + 20ms + 20ms);
    // A commit seen late (its events read after a later one's) moves nothing back.
    pacing.committed(start - 30ms);
    EXPECT_EQ(pacing.holdsUntil(), start + 40ms);
    pacing.committed(start + 5ms);
    EXPECT_EQ(pacing.holdsUntil(), start + 45ms);
}

TEST(WaylandFramePacing, ACopyAskedForForcesACommitAtTheOutputsNextFrame)
{
    const struct {
        const char* what;
        Clock::duration askedAfterCommit;
        Clock::duration holds; // after the commit
    } cases[] = {
        // Within an interval of the commit, the next frame is an interval after it; the
        // forced commit is taken as late as composing allows, and holds changes after it.
        {"at once", 1ms, 20ms + 20ms + 20ms + 20ms},
        {"late in the interval", 19ms, 80ms},
        // On an idle output the frame comes at once.
        {"long after", 500ms, 500ms + 20ms + 20ms + 20ms},
    };
    for (const auto& c : cases) {
        WaylandFramePacing pacing(50'000);
        pacing.committed(start);
        pacing.asked(start + c.askedAfterCommit);
        EXPECT_EQ(pacing.holdsUntil(), start + c.holds) << c.what;
    }
}

TEST(WaylandFramePacing, CopiesAskedForOneAfterAnotherEachWaitForTheFrameAfterTheLast)
{
    WaylandFramePacing pacing(50'000);
    pacing.asked(start);
    const Clock::time_point first = pacing.holdsUntil();
    pacing.asked(start + 1ms);
    // The second forced commit cannot come before an interval after the first.
    EXPECT_GE(pacing.holdsUntil(), first + 20ms);
}

} // namespace
