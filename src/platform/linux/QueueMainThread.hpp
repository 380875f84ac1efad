#pragma once

#include "base/SerialQueue.hpp"
#include "platform/MainThread.hpp"

// The main thread is the one that runs the main queue (start-up hands it over once the
// listener is up), so user-interface work is submitted to that queue.
class QueueMainThread final : public MainThread {
public:
    explicit QueueMainThread(SerialQueue& mainQueue) : queue_(mainQueue) {}
    void sync(const std::function<void()>& block) override { queue_.sync(block); }
    void async(std::function<void()> block) override { queue_.async(std::move(block)); }
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block) override
    {
        queue_.asyncAfter(delay, std::move(block));
    }

private:
    SerialQueue& queue_;
};
