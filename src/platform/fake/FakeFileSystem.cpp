#include "platform/fake/FakeFileSystem.hpp"

#include <cerrno>

namespace {

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isInside(const std::string& path, const std::string& directory)
{
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0
        && path[directory.size()] == '/';
}

PlatformError noSuchFile()
{
    return PlatformError("POSIX", ENOENT, "No such file or directory");
}

}

void FakeFileSystem::createDirectories(const std::string& path, unsigned mode)
{
    std::lock_guard lock(mutex_);
    if (createError_)
        throw *createError_;
    for (std::string directory = path; !directory.empty() && directory != "/"; directory = parentOf(directory)) {
        if (files_.count(directory))
            throw PlatformError("POSIX", ENOTDIR, "Not a directory");
        directories_.emplace(directory, mode);
    }
}

std::optional<std::vector<std::string>> FakeFileSystem::contents(const std::string& directory)
{
    std::lock_guard lock(mutex_);
    if (!directories_.count(directory))
        return std::nullopt;
    std::vector<std::string> paths;
    for (const auto& [path, file] : files_)
        if (parentOf(path) == directory)
            paths.push_back(path);
    for (const auto& [path, mode] : directories_)
        if (parentOf(path) == directory)
            paths.push_back(path);
    return paths;
}

bool FakeFileSystem::remove(const std::string& path)
{
    std::lock_guard lock(mutex_);
    if (removeFails_)
        return false;
    files_.erase(path);
    directories_.erase(path);
    std::erase_if(files_, [&](const auto& entry) { return isInside(entry.first, path); });
    std::erase_if(directories_, [&](const auto& entry) { return isInside(entry.first, path); });
    return true;
}

void FakeFileSystem::move(const std::string& from, const std::string& to)
{
    std::lock_guard lock(mutex_);
    if (moveError_)
        throw *moveError_;
    const auto found = files_.find(from);
    if (found == files_.end() || !directories_.count(parentOf(to)))
        throw noSuchFile();
    File file = std::move(found->second);
    files_.erase(found);
    files_[to] = std::move(file);
}

std::optional<std::int64_t> FakeFileSystem::fileSize(const std::string& path)
{
    std::lock_guard lock(mutex_);
    const auto found = files_.find(path);
    if (found == files_.end())
        return std::nullopt;
    return found->second.size;
}

bool FakeFileSystem::exists(const std::string& path)
{
    std::lock_guard lock(mutex_);
    return files_.count(path) || directories_.count(path);
}

void FakeFileSystem::setCreateError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    createError_ = std::move(error);
}

void FakeFileSystem::setMoveError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    moveError_ = std::move(error);
}

void FakeFileSystem::setRemoveFails(bool fails)
{
    std::lock_guard lock(mutex_);
    removeFails_ = fails;
}

void FakeFileSystem::putFile(const std::string& path, File file)
{
    std::lock_guard lock(mutex_);
    files_[path] = std::move(file);
}

std::optional<FakeFileSystem::File> FakeFileSystem::file(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    const auto found = files_.find(path);
    if (found == files_.end())
        return std::nullopt;
    return found->second;
}

std::vector<std::string> FakeFileSystem::files() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& [path, file] : files_)
        paths.push_back(path);
    return paths;
}

std::map<std::string, unsigned> FakeFileSystem::directories() const
{
    std::lock_guard lock(mutex_);
    return directories_;
}

void FakeFileSystem::update(const std::string& path, const std::function<void(File&)>& change)
{
    std::lock_guard lock(mutex_);
    change(files_[path]);
}
