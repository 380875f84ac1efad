#include "platform/fake/FakeClock.hpp"

FakeClock::FakeClock()
    : now_(std::chrono::hours(1000)), start_(now_),
      dateAtStart_(std::chrono::system_clock::time_point(std::chrono::seconds(1714979289)))
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
    // The calendar moves with virtual time, from a fixed date (2024-05-06T07:08:09Z).
    clock_.date = [this] {
        std::lock_guard lock(mutex_);
        return dateAtStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(now_ - start_);
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
