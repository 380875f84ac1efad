#include "platform/fake/FakeMainThread.hpp"

namespace {
thread_local bool onMainThread = false;
}

bool FakeMainThread::isCurrent()
{
    return onMainThread;
}

void FakeMainThread::run(const std::function<void()>& block)
{
    const bool outer = onMainThread;
    onMainThread = true;
    try {
        block();
    } catch (...) {
        onMainThread = outer;
        throw;
    }
    onMainThread = outer;
}

void FakeMainThread::sync(const std::function<void()>& block)
{
    {
        std::lock_guard lock(mutex_);
        ++syncs_;
    }
    // Blocks handed over earlier run first, as they would on a serial main queue.
    runPending();
    run(block);
}

void FakeMainThread::async(std::function<void()> block)
{
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(block));
}

std::size_t FakeMainThread::runPending()
{
    std::vector<std::function<void()>> blocks;
    {
        std::lock_guard lock(mutex_);
        blocks.swap(pending_);
    }
    for (const auto& block : blocks)
        run(block);
    return blocks.size();
}

std::size_t FakeMainThread::pending() const
{
    std::lock_guard lock(mutex_);
    return pending_.size();
}

std::size_t FakeMainThread::syncCount() const
{
    std::lock_guard lock(mutex_);
    return syncs_;
}

void FakeMainThread::asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block)
{
    std::lock_guard lock(mutex_);
    delays_.push_back(delay);
    pending_.push_back(std::move(block));
}

std::vector<std::chrono::steady_clock::duration> FakeMainThread::delays() const
{
    std::lock_guard lock(mutex_);
    return delays_;
}
