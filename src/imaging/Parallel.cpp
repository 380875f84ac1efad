#include "imaging/Parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Helper threads kept from one picture to the next. Starting a thread for every part of
// every picture cost more than the part saved: the new thread began so late that the
// caller had done most of the work alone. A helper that has finished also looks for the
// next job for a moment before it sleeps, because a picture's stages (shrink, then
// encode) follow each other closely and a sleeping core wakes slowly, on a virtual machine
// above all.
class HelperPool {
public:
    static HelperPool& shared()
    {
        // Never destroyed: its threads wait for work until the process ends.
        static HelperPool* pool = new HelperPool;
        return *pool;
    }

    // Runs work on `helpers` helper threads while the caller runs it too; returns when all
    // have returned. False, having run nothing, when another caller has the pool.
    bool run(std::size_t helpers, const std::function<void()>& work)
    {
        std::unique_lock job(jobLock_, std::try_to_lock);
        if (!job)
            return false;
        std::unique_lock lock(lock_);
        while (threads_ < helpers) {
            try {
                std::thread([this] { serve(); }).detach();
                ++threads_;
            } catch (const std::system_error&) {
                break; // no more threads for now: the ones there share the work
            }
        }
        work_ = &work;
        wanted_ = std::min(helpers, threads_);
        taken_ = 0;
        finished_ = 0;
        generation_.fetch_add(1, std::memory_order_release);
        woken_.notify_all();
        lock.unlock();

        work();

        lock.lock();
        done_.wait(lock, [&] { return finished_ == wanted_; });
        work_ = nullptr;
        return true;
    }

private:
    void serve()
    {
        std::uint64_t seen = 0;
        std::unique_lock lock(lock_);
        for (;;) {
            if (generation_.load(std::memory_order_relaxed) == seen) {
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + lookBeforeSleeping;
                while (generation_.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until)
                    std::this_thread::yield();
                lock.lock();
                woken_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
            }
            seen = generation_.load(std::memory_order_relaxed);
            if (taken_ == wanted_)
                continue; // enough helpers have this job
            ++taken_;
            const std::function<void()>& work = *work_;
            lock.unlock();
            work();
            lock.lock();
            if (++finished_ == wanted_)
                done_.notify_one();
        }
    }

    static constexpr std::chrono::milliseconds lookBeforeSleeping{2};

    std::mutex jobLock_; // one job at a time
    std::mutex lock_;
    std::condition_variable woken_;
    std::condition_variable done_;
    std::size_t threads_ = 0;
    std::atomic<std::uint64_t> generation_{0};
    const std::function<void()>* work_ = nullptr;
    std::size_t wanted_ = 0;
    std::size_t taken_ = 0;
    std::size_t finished_ = 0;
};

} // namespace

std::size_t usableCores()
{
    std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        cores = std::min<std::size_t>(cores, static_cast<std::size_t>(std::max(1, CPU_COUNT(&allowed))));
    return cores;
}

void runOnThreads(std::size_t threads, const std::function<void()>& work)
{
    std::mutex lock;
    std::exception_ptr failure;
    const std::function<void()> guarded = [&] {
        try {
            work();
        } catch (...) {
            const std::lock_guard held(lock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    if (threads <= 1 || !HelperPool::shared().run(threads - 1, guarded)) {
        // Alone, or while another caller has the helpers: threads of its own.
        std::vector<std::thread> helpers;
        for (std::size_t i = 1; i < threads; ++i) {
            try {
                helpers.emplace_back(guarded);
            } catch (const std::system_error&) {
                break;
            }
        }
        guarded();
        for (std::thread& helper : helpers)
            helper.join();
    }
    if (failure)
        std::rethrow_exception(failure);
}
