#pragma once

#include "base/PlatformError.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Files and directories, by path. Every call runs on the caller's thread and blocks for the
// system call. Errors are PlatformError values with the system's description.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Creates the directory and the missing directories above it, each with `mode`; an
    // existing directory is no failure. Throws PlatformError.
    virtual void createDirectories(const std::string& path, unsigned mode) = 0;
    // The paths of the directory's entries, hidden ones included; nothing on failure.
    virtual std::optional<std::vector<std::string>> contents(const std::string& directory) = 0;
    // Removes a file or a whole directory tree; false when that failed.
    virtual bool remove(const std::string& path) = 0;
    // Renames within one file system. Throws PlatformError.
    virtual void move(const std::string& from, const std::string& to) = 0;
    // Size in bytes; nothing when it cannot be read.
    virtual std::optional<std::int64_t> fileSize(const std::string& path) = 0;
    // True when something exists at the path.
    virtual bool exists(const std::string& path) = 0;
};
