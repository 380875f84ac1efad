#include "platform/wayland/SwayTree.hpp"

#include "base/PlatformError.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t getTree = 4;
constexpr std::chrono::seconds answerDeadline{2};
// A layout tree of thousands of windows is a few megabytes; anything past this is no tree.
constexpr std::uint32_t largestAnswer = 64u << 20;

PlatformError ipcError(const std::string& what, int code = 0)
{
    return PlatformError("sway", code, "sway's IPC " + what);
}

class Socket {
public:
    explicit Socket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof address.sun_path)
            throw ipcError("socket " + path + " cannot be opened", errno);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw ipcError("socket " + path + " does not answer: " + std::strerror(errno), errno);
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void send(const void* bytes, std::size_t size)
    {
        const auto* at = static_cast<const char*>(bytes);
        while (size > 0) {
            const ssize_t sent = ::send(fd_, at, size, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                throw ipcError(std::string("socket closed: ") + std::strerror(errno), errno);
            at += sent;
            size -= static_cast<std::size_t>(sent);
        }
    }

    void receive(void* bytes, std::size_t size, std::chrono::steady_clock::time_point end)
    {
        auto* at = static_cast<char*>(bytes);
        while (size > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd descriptor{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) == 0)
                throw ipcError("did not answer within 2 s");
            const ssize_t got = ::recv(fd_, at, size, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw ipcError("socket closed before its answer was whole");
            at += got;
            size -= static_cast<std::size_t>(got);
        }
    }

private:
    int fd_;
};

} // namespace

std::optional<std::string> SwayIPC::socketPath(std::optional<std::pair<int, unsigned>> compositor)
{
    if (const char* explicitPath = std::getenv("SWAYSOCK"))
        return std::string(explicitPath);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!compositor || !runtime)
        return std::nullopt;
    const std::string path = std::string(runtime) + "/sway-ipc." + std::to_string(compositor->second) + "."
        + std::to_string(compositor->first) + ".sock";
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode))
        return std::nullopt;
    return path;
}

Json SwayIPC::tree(const std::string& socketPath)
{
    Socket socket(socketPath);
    char header[sizeof magic + 8];
    std::memcpy(header, magic, sizeof magic);
    const std::uint32_t empty = 0;
    std::memcpy(header + sizeof magic, &empty, 4);
    std::memcpy(header + sizeof magic + 4, &getTree, 4);
    socket.send(header, sizeof header);

    const auto end = std::chrono::steady_clock::now() + answerDeadline;
    socket.receive(header, sizeof header, end);
    std::uint32_t length = 0, type = 0;
    std::memcpy(&length, header + sizeof magic, 4);
    std::memcpy(&type, header + sizeof magic + 4, 4);
    if (std::memcmp(header, magic, sizeof magic) != 0 || type != getTree || length > largestAnswer)
        throw ipcError("answered something other than its layout tree");
    std::string payload(length, '\0');
    socket.receive(payload.data(), payload.size(), end);
    auto parsed = readJson(payload);
    if (!parsed)
        throw ipcError("sent a layout tree that is not JSON");
    return std::move(*parsed);
}
