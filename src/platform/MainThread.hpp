#pragma once

#include <chrono>
#include <functional>

// The thread that runs the desktop application's main loop, where user-interface work
// (prompts, activation, settings pages) must happen.
class MainThread {
public:
    virtual ~MainThread() = default;
    // Runs the block on the main thread and returns once it has run. Never call it from the
    // main thread itself: it would wait for ever (debug builds abort).
    virtual void sync(const std::function<void()>& block) = 0;
    // Hands the block to the main thread and returns at once.
    virtual void async(std::function<void()> block) = 0;
    // Hands the block to the main thread to run once the delay has passed; returns at once.
    virtual void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block) = 0;
};
