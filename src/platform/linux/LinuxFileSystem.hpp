#pragma once

#include "platform/FileSystem.hpp"

// POSIX files and directories.
class LinuxFileSystem final : public FileSystem {
public:
    void createDirectories(const std::string& path, unsigned mode) override;
    std::optional<std::vector<std::string>> contents(const std::string& directory) override;
    bool remove(const std::string& path) override;
    void move(const std::string& from, const std::string& to) override;
    std::optional<std::int64_t> fileSize(const std::string& path) override;
    bool exists(const std::string& path) override;
};
