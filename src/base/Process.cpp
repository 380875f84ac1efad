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

void releaseFreeMemory()
{
    malloc_trim(0);
}
