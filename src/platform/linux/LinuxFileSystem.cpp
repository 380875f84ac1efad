#include "platform/linux/LinuxFileSystem.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PlatformError systemError(int error)
{
    return PlatformError("POSIX", error, std::strerror(error));
}

}

void LinuxFileSystem::createDirectories(const std::string& path, unsigned mode)
{
    if (path.empty())
        throw systemError(ENOENT);
    // Each missing directory from the top down, so every one made here gets the mode; the
    // umask may only take bits away, so the mode is set again on what was made.
    std::string partial;
    std::size_t next = 0;
    while (next != std::string::npos) {
        next = path.find('/', next + 1);
        partial = path.substr(0, next);
        if (partial.empty() || partial == "/")
            continue;
        if (::mkdir(partial.c_str(), mode) == 0) {
            ::chmod(partial.c_str(), mode);
            continue;
        }
        const int error = errno;
        struct stat status {};
        if (error == EEXIST && ::stat(partial.c_str(), &status) == 0) {
            if (S_ISDIR(status.st_mode))
                continue;
            throw systemError(ENOTDIR);
        }
        throw systemError(error);
    }
}

std::optional<std::vector<std::string>> LinuxFileSystem::contents(const std::string& directory)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    if (error)
        return std::nullopt;
    std::vector<std::string> paths;
    for (const auto& entry : entries)
        paths.push_back(entry.path().string());
    return paths;
}

bool LinuxFileSystem::remove(const std::string& path)
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return !error;
}

void LinuxFileSystem::move(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw systemError(errno);
}

std::optional<std::int64_t> LinuxFileSystem::fileSize(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return static_cast<std::int64_t>(status.st_size);
}

bool LinuxFileSystem::exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}
