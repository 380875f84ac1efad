#include "platform/linux/Parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

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
    const auto guarded = [&] {
        try {
            work();
        } catch (...) {
            const std::lock_guard held(lock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads);
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(guarded);
        } catch (const std::system_error&) {
            break; // no more threads for now: the ones running share the work
        }
    }
    guarded();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}
