#pragma once

#include "platform/FileSystem.hpp"

#include <functional>
#include <map>
#include <mutex>

// Files and directories in memory. A file holds the samples an audio file wrote into it,
// so tests read back exactly what was recorded, and whether the file was finished.
class FakeFileSystem final : public FileSystem {
public:
    struct File {
        std::vector<float> samples;
        bool finished = false;
        std::int64_t size = 0;
    };

    void createDirectories(const std::string& path, unsigned mode) override;
    std::optional<std::vector<std::string>> contents(const std::string& directory) override;
    bool remove(const std::string& path) override;
    void move(const std::string& from, const std::string& to) override;
    std::optional<std::int64_t> fileSize(const std::string& path) override;
    bool exists(const std::string& path) override;

    // Scripts: the next calls of createDirectories() / move() throw this error, until cleared.
    void setCreateError(std::optional<PlatformError> error);
    void setMoveError(std::optional<PlatformError> error);
    // Removals of these paths fail (and leave them).
    void setRemoveFails(bool fails);

    void putFile(const std::string& path, File file);
    std::optional<File> file(const std::string& path) const;
    // Paths of the files, in order.
    std::vector<std::string> files() const;
    // Directories with their modes.
    std::map<std::string, unsigned> directories() const;

    // For FakeAudioFramework's files.
    void update(const std::string& path, const std::function<void(File&)>& change);

private:
    mutable std::mutex mutex_;
    std::map<std::string, File> files_;
    std::map<std::string, unsigned> directories_;
    std::optional<PlatformError> createError_;
    std::optional<PlatformError> moveError_;
    bool removeFails_ = false;
};
