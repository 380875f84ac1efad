#include "base/Process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

void ignoreSignal(int) {}

// Whether the thread is blocked in write(2) now, by the system call /proc shows for it.
bool blockedInWrite(pid_t thread)
{
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    return file >> number && number == SYS_write;
}

} // namespace

TEST(Process, AMessageOnStandardErrorOutlivesASignal)
{
    // Standard error is a full pipe, so the write blocks; a signal whose handler does not
    // restart system calls then interrupts it. The message must still be written whole.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'x');
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(pipeEnds[1], filler.data(), filler.size())) > 0;)
        filled += static_cast<std::size_t>(n);
    ::fcntl(pipeEnds[1], F_SETFL, 0);
    const int savedError = ::dup(STDERR_FILENO);
    ::dup2(pipeEnds[1], STDERR_FILENO);

    struct sigaction action {};
    action.sa_handler = ignoreSignal; // no SA_RESTART
    struct sigaction previous {};
    ::sigaction(SIGUSR1, &action, &previous);

    std::atomic<pid_t> writerId{0};
    std::thread writer([&] {
        writerId = static_cast<pid_t>(::syscall(SYS_gettid));
        reportToStandardError("still owed");
    });
    const pthread_t writerHandle = writer.native_handle();
    while (writerId == 0 || !blockedInWrite(writerId))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::pthread_kill(writerHandle, SIGUSR1);

    // Read everything until the writer is done; what follows the filler is the message.
    std::string received;
    ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    std::atomic<bool> done{false};
    std::thread joiner([&] {
        writer.join();
        done = true;
    });
    char chunk[4096];
    for (bool last = false; !last;) {
        last = done; // read once more after the writer is done, for what it wrote last
        for (ssize_t n; (n = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
            received.append(chunk, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    joiner.join();
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);

    ASSERT_GE(received.size(), filled);
    EXPECT_EQ(received.substr(filled), "Velmar Computer Use: still owed\n");
}

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

TEST(ProcessTest, ThePeerOfALocalSocketAndItsName)
{
    std::ifstream comm("/proc/self/comm");
    std::string self;
    std::getline(comm, self);
    EXPECT_EQ(processName(::getpid()), self);
    EXPECT_EQ(processName(0), "");

    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    EXPECT_EQ(peerProcessID(ends[0]), ::getpid());
    ::close(ends[0]);
    ::close(ends[1]);
    // Not a socket, or no longer a descriptor at all.
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_EQ(peerProcessID(ends[0]), 0);
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_EQ(peerProcessID(ends[0]), 0);
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
