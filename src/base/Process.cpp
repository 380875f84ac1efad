#include "base/Process.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <malloc.h>
#include <sys/socket.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex endWorkLock;

std::vector<std::function<void()>>& endWork()
{
    static std::vector<std::function<void()>> work;
    return work;
}

// Bounded, so that a desktop that no longer answers cannot keep the process alive.
void runEndWork()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(endWorkLock);
            work = endWork();
        }
        if (work.empty())
            return;
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        std::thread([work = std::move(work), done] {
            for (const auto& step : work) {
                try {
                    step();
                } catch (...) {
                }
            }
            done->set_value();
        }).detach();
        finished.wait_for(std::chrono::seconds(2));
    });
}

} // namespace

void reportToStandardError(std::string_view message)
{
    std::string line = "Velmar Computer Use: ";
    line.append(message);
    line.push_back('\n');
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue; // a signal came first: the message is still owed
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
}

void endProcess(int code)
{
    std::fflush(stdout);
    runEndWork();
    ::_exit(code);
}

void keepFreedMemory()
{
    // Blocks up to 32 MB (the most the C library allows here) come from the heap instead of
    // mappings of their own, the heap is not trimmed as they are freed, and every thread
    // shares the main heap: malloc_trim returns the free middle of other heaps but not
    // their tops, where a picture's blocks end up.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_ARENA_MAX, 1);
}

void atProcessEnd(std::function<void()> work)
{
    std::lock_guard lock(endWorkLock);
    endWork().push_back(std::move(work));
}

void releaseFreeMemory()
{
    malloc_trim(0);
}

int peerProcessID(int socket)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.pid <= 0)
        return 0;
    return peer.pid;
}

std::string processName(int processID)
{
    if (processID <= 0)
        return "";
    std::ifstream comm("/proc/" + std::to_string(processID) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}
