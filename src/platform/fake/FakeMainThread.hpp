#pragma once

#include "platform/MainThread.hpp"

#include <mutex>
#include <vector>

// The main thread of a test: sync blocks run at once on the calling thread, marked as the
// main thread while they run; async blocks wait until runPending(), so a test can see that
// the caller did not wait for them.
class FakeMainThread final : public MainThread {
public:
    void sync(const std::function<void()>& block) override;
    void async(std::function<void()> block) override;
    // Queued like async(); the delay is recorded, not waited for.
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block) override;

    // Runs the async blocks handed over so far, in order. Returns how many ran.
    std::size_t runPending();
    std::size_t pending() const;
    std::size_t syncCount() const;
    std::vector<std::chrono::steady_clock::duration> delays() const;

    // True while a block of this fake runs on the calling thread.
    static bool isCurrent();

private:
    void run(const std::function<void()>& block);

    mutable std::mutex mutex_;
    std::vector<std::function<void()>> pending_;
    std::size_t syncs_ = 0;
    std::vector<std::chrono::steady_clock::duration> delays_;
};
