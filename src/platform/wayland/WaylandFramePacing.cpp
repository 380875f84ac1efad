#include "platform/wayland/WaylandFramePacing.hpp"

#include <algorithm>

namespace {

// Refresh rates outside these bounds are taken as these: a compositor reporting 1 mHz would
// make a picture after a change wait for ever, one reporting 1 MHz would leave no time to
// compose. Headless outputs run as slowly as asked.
constexpr int slowestMilliHertz = 1'000;     // 1 Hz
constexpr int fastestMilliHertz = 1'000'000; // 1000 Hz
constexpr int defaultMilliHertz = 60'000;

// Composing a whole output in software and copying it takes a few milliseconds on a slow
// machine; at high refresh rates an interval is shorter than that.
constexpr std::chrono::milliseconds shortestAllowance{20};

} // namespace

WaylandFramePacing::WaylandFramePacing(int refreshMilliHertz)
{
    const int rate = refreshMilliHertz > 0 ? std::clamp(refreshMilliHertz, slowestMilliHertz, fastestMilliHertz)
                                           : defaultMilliHertz;
    interval_ = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(1'000'000'000'000LL / rate));
}

WaylandFramePacing::Clock::duration WaylandFramePacing::allowance() const
{
    return std::max<Clock::duration>(interval_, shortestAllowance);
}

void WaylandFramePacing::committed(Clock::time_point at)
{
    lastCommit_ = std::max(lastCommit_, at);
    holdsUntil_ = std::max(holdsUntil_, at + interval_ + allowance());
}

void WaylandFramePacing::asked(Clock::time_point at)
{
    // The commit made for the copy comes at the output's next frame: at once, or an interval
    // after the last commit; it is known only as late as it may be, composing included.
    const Clock::time_point forced = std::max(at, lastCommit_ + interval_) + allowance();
    committed(forced);
}
