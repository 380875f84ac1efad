#pragma once

#include "platform/Clock.hpp"

#include <mutex>
#include <vector>

// Virtual time: sleeping and waiting return at once, move the clock forward and are recorded.
// The calendar date moves with it.
class FakeClock {
public:
    FakeClock();
    Clock& clock() { return clock_; }

    void advance(Clock::Duration duration);
    std::vector<Clock::Duration> sleeps() const;
    // Deadlines of the waits that timed out. A wait takes what was signalled before it
    // began; otherwise it times out at once and the clock jumps to its deadline.
    std::vector<Clock::TimePoint> timedOutWaits() const;

private:
    mutable std::mutex mutex_;
    Clock::TimePoint now_;
    Clock::TimePoint start_;
    Clock::Date dateAtStart_;
    std::vector<Clock::Duration> sleeps_;
    std::vector<Clock::TimePoint> timedOutWaits_;
    Clock clock_;
};
