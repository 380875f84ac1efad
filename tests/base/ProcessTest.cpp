#include "base/Process.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

struct Ended {
    int code = -1;
    std::string written;
};

// Runs `body` in a child process, which ends through endProcess; returns its exit code and
// what its end work wrote to the pipe.
template <typename Body> Ended inChild(Body body)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        body(pipeEnds[1]);
        ::_exit(99);
    }
    ::close(pipeEnds[1]);
    Ended ended;
    char buffer[64];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        ended.written.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ended.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ended;
}

TEST(ProcessTest, EndWorkRunsOnceBeforeTheExit)
{
    const Ended ended = inChild([](int out) {
        atProcessEnd([out] { (void)::write(out, "a", 1); });
        atProcessEnd([out] { (void)::write(out, "b", 1); });
        // A second exit from another thread waits for the first one's work, which runs once.
        std::thread([] { endProcess(4); }).detach();
        endProcess(3);
    });
    EXPECT_TRUE(ended.code == 3 || ended.code == 4) << ended.code;
    EXPECT_EQ(ended.written, "ab");
}

TEST(ProcessTest, EndWorkThatHangsDoesNotKeepTheProcess)
{
    const Ended ended = inChild([](int out) {
        atProcessEnd([out] {
            (void)::write(out, "stuck", 5);
            std::this_thread::sleep_for(std::chrono::hours(1));
        });
        endProcess(5);
    });
    EXPECT_EQ(ended.code, 5);
    EXPECT_EQ(ended.written, "stuck");
}

} // namespace
