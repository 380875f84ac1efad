// Sequential request round trips against the real binary, beside a bare
// accept-read-write-close loop on loopback that does nothing else: the floor that one
// request per connection sets. Prints medians, their ratio and requests per second, and
// the program's idle resident memory.
//
//   http_roundtrip <path to velmar-computer-use> [requests]
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// One request on a fresh connection, read to the server's close.
double roundTrip(int port, const std::string& request)
{
    const auto start = Clock::now();
    const int fd = connectTo(port);
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        std::exit(1);
    char buffer[4096];
    size_t total = 0;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        total += static_cast<size_t>(n);
    close(fd);
    if (total == 0) {
        std::fprintf(stderr, "empty answer\n");
        std::exit(1);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The floor: accept, read until the blank line, write a fixed answer, close.
int startBareServer(std::atomic<bool>& stop)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 128);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread([listener, &stop] {
        static const char answer[] = "HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=utf-8\r\n"
                                     "Content-Length: 2\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n{}";
        while (!stop) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            std::string got;
            char buffer[65536];
            ssize_t n;
            while (got.find("\r\n\r\n") == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0)
                got.append(buffer, static_cast<size_t>(n));
            if (write(fd, answer, sizeof answer - 1) < 0)
                std::perror("write");
            shutdown(fd, SHUT_WR);
            while (read(fd, buffer, sizeof buffer) > 0) {
            }
            close(fd);
        }
    }).detach();
    return ntohs(address.sin_port);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<double> measure(int port, const std::string& request, int count)
{
    for (int i = 0; i < 50; ++i)
        roundTrip(port, request);
    std::vector<double> times;
    for (int i = 0; i < count; ++i)
        times.push_back(roundTrip(port, request));
    return times;
}

long residentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <velmar-computer-use> [requests]\n", argv[0]);
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
    signal(SIGPIPE, SIG_IGN);

    char tokenPath[] = "/tmp/velmar-bench-token-XXXXXX";
    const int tokenFd = mkstemp(tokenPath);
    if (write(tokenFd, "bench-token\n", 12) != 12)
        return 1;
    close(tokenFd);

    int out[2];
    if (pipe(out) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* child[] = {argv[1], const_cast<char*>("--token-file"), tokenPath, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, argv[1], &actions, nullptr, child, environ) != 0) {
        std::perror("spawn");
        return 1;
    }
    close(out[1]);
    std::string ready;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        ready += c;
    const int port = std::atoi(ready.c_str() + ready.find(':') + 1);

    std::atomic<bool> stop{false};
    const int barePort = startBareServer(stop);

    const std::string notFound = "GET /nowhere HTTP/1.1\r\nAuthorization: Bearer bench-token\r\n\r\n";
    const std::string unauthorized = "GET /status HTTP/1.1\r\n\r\n";
    const double floor = median(measure(barePort, notFound, count));
    const auto programTimes = measure(port, notFound, count);
    const double program404 = median(programTimes);
    const double program401 = median(measure(port, unauthorized, count));
    double total = 0;
    for (double t : programTimes)
        total += t;

    std::printf("requests per figure: %d, sequential, one per connection\n", count);
    std::printf("baseline bare socket loop  median %8.1f us\n", floor);
    std::printf("program 404                median %8.1f us  ratio %.2f (target <= 1.5)\n", program404, program404 / floor);
    std::printf("program 401                median %8.1f us  ratio %.2f (target <= 1.5)\n", program401, program401 / floor);
    std::printf("program 404 throughput     %8.0f requests/s (target >= 5000)\n", 1e6 * count / total);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("program resident memory    %8ld kB after the run (target idle < 10240 kB)\n", residentKilobytes(pid));

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    unlink(tokenPath);
    stop = true;
    return 0;
}
