#pragma once

#include "platform/Clock.hpp"

#include <mutex>
#include <vector>

// Virtual time: sleeping returns at once, moves the clock forward and is recorded.
class FakeClock {
public:
    FakeClock();
    Clock& clock() { return clock_; }

    void advance(Clock::Duration duration);
    std::vector<Clock::Duration> sleeps() const;

private:
    mutable std::mutex mutex_;
    Clock::TimePoint now_;
    std::vector<Clock::Duration> sleeps_;
    Clock clock_;
};
