#include "base/Process.hpp"

#include <cerrno>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <unistd.h>

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

void releaseFreeMemory()
{
    malloc_trim(0);
}
