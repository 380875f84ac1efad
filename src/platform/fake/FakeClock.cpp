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
    clock_.waitUntil = [this](std::counting_semaphore<>& semaphore, Clock::TimePoint deadline) {
        if (semaphore.try_acquire())
            return true;
        std::lock_guard lock(mutex_);
        timedOutWaits_.push_back(deadline);
        if (now_ < deadline)
            now_ = deadline;
        return false;
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

std::vector<Clock::TimePoint> FakeClock::timedOutWaits() const
{
    std::lock_guard lock(mutex_);
    return timedOutWaits_;
}
