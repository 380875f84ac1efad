#include "app/Startup.hpp"

#include "base/Process.hpp"
#include "base/Text.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

std::string bundleVersion()
{
#ifdef VELMAR_VERSION
    const std::string version = VELMAR_VERSION;
    if (!version.empty())
        return version;
#endif
    return "0";
}

std::optional<std::string> argument(const std::vector<std::string>& arguments, std::string_view name)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != name)
            continue;
        if (i + 1 < arguments.size())
            return arguments[i + 1];
        return std::nullopt;
    }
    return std::nullopt;
}

std::string readToken(const std::vector<std::string>& arguments)
{
    const auto path = argument(arguments, "--token-file");
    if (!path)
        return {};
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    // A token is a short line of text; anything past a mebibyte (say, a device that never
    // ends) is no token file.
    constexpr size_t limit = 1 << 20;
    std::string content;
    char chunk[4096];
    bool readable = true;
    while (true) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > limit) {
            readable = false;
            break;
        }
        if (n == 0)
            break;
        content.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!readable || !isValidUTF8(content))
        return {};
    return std::string(trimWhiteSpaceAndNewlines(content));
}

std::string readyLine(std::uint16_t port, long pid, std::string_view version)
{
    std::string line = "{\"port\":";
    line += std::to_string(port);
    line += ",\"pid\":";
    line += std::to_string(pid);
    line += ",\"version\":\"";
    line += version;
    line += "\"}";
    return line;
}

namespace {

// A new file beside `path` that no one else has opened, for writing. Made with mode 0666 so
// that the kernel applies the process's umask itself: reading the umask would mean setting
// it, for every thread of the process at once.
std::pair<int, std::string> createTemporaryBeside(const std::string& path)
{
    // The process id and a count make the name unique among writers; a file left behind by
    // an earlier process with the same id is stepped over.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0;; ++attempt) {
        const std::string temporary =
            path + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return {fd, temporary};
        if (errno != EEXIST || attempt == 100)
            return {-1, {}};
    }
}

} // namespace

void writeFileAtomically(const std::string& path, std::string_view bytes)
{
    const auto fail = [&](const char* step, int error) {
        throw std::runtime_error(std::string(step) + " failed: " + std::strerror(error));
    };
    // The temporary file sits beside the target so that the rename stays on one file system.
    const auto [fd, temporary] = createTemporaryBeside(path);
    if (fd < 0)
        fail("creating a temporary file", errno);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temporary.c_str());
            fail("writing", error);
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("writing", error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("renaming", error);
    }
}

std::optional<std::int32_t> watchedParent(const std::vector<std::string>& arguments)
{
    const auto value = argument(arguments, "--parent-pid");
    if (!value || value->empty())
        return std::nullopt;
    const auto pid = parseDecimalInt32(*value);
    if (!pid || *pid <= 1)
        return std::nullopt;
    return pid;
}

void startParentWatch(std::int32_t pid, std::function<void()> gone)
{
    std::thread([pid, gone = std::move(gone)] {
        constexpr auto period = std::chrono::seconds(2);
        auto tick = std::chrono::steady_clock::now() + period;
        while (true) {
            std::this_thread::sleep_until(tick);
            // EPERM means the process exists but is another user's: still alive.
            if (::kill(pid, 0) != 0 && errno == ESRCH) {
                gone();
                return;
            }
            tick += period;
        }
    }).detach();
}
