#include "platform/fake/FakeClock.hpp"

FakeClock::FakeClock()
    : now_(std::chrono::hours(1000))
{
    clock_.now = [this] {
        std::lock_guard lock(mutex_);
        return now_;
    };
    clock_.sleep = [this](Clock::Duration duration) {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(duration);
        now_ += duration;
    };
}

void FakeClock::advance(Clock::Duration duration)
{
    std::lock_guard lock(mutex_);
    now_ += duration;
}

std::vector<Clock::Duration> FakeClock::sleeps() const
{
    std::lock_guard lock(mutex_);
    return sleeps_;
}
