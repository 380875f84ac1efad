#pragma once

#include <chrono>
#include <functional>
#include <semaphore>
#include <thread>

// Time as the system sees it. Pauses and deadlines go through here so that the fake
// platform can make a ten-second wait instant and record what was asked.
struct Clock {
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;
    using Date = std::chrono::system_clock::time_point;

    std::function<TimePoint()> now;
    // Blocks the calling thread for the duration.
    std::function<void(Duration)> sleep;
    // Waits on the semaphore until it is signalled (true) or the deadline, a time of now(),
    // has passed (false). Blocks the calling thread without polling.
    std::function<bool(std::counting_semaphore<>&, TimePoint)> waitUntil;
    // The calendar time, for what is stamped with a date (audio parts, status times).
    std::function<Date()> date;

    // Sleeps, then yields through the last fraction of a millisecond: waking from a sleep
    // takes a tenth of a millisecond or more, and a drag is made of fifteen pauses whose
    // lateness would add up. Yielding keeps the other threads running meanwhile.
    static void preciseSleep(Duration duration)
    {
        using namespace std::chrono_literals;
        const TimePoint end = std::chrono::steady_clock::now() + duration;
        if (duration > 300us)
            std::this_thread::sleep_until(end - 250us);
        while (std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
    }

    static Clock system()
    {
        return Clock{[] { return std::chrono::steady_clock::now(); },
                     [](Duration duration) { preciseSleep(duration); },
                     [](std::counting_semaphore<>& semaphore, TimePoint deadline) {
                         return semaphore.try_acquire_until(deadline);
                     },
                     [] { return std::chrono::system_clock::now(); }};
    }
};
