#include "app/Startup.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

struct TemporaryDirectory {
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmar-startup-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

mode_t modeOf(const std::filesystem::path& path)
{
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 0777;
}

} // namespace

TEST(Startup, PortFileIsReplacedWholeWithTheUsersUmask)
{
    TemporaryDirectory directory;
    const auto target = directory.path / "port";
    const mode_t previous = ::umask(027);
    writeFileAtomically(target.string(), "first\n");
    writeFileAtomically(target.string(), "{\"port\":1}\n");
    ::umask(previous);
    std::ifstream file(target);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), "{\"port\":1}\n");
    EXPECT_EQ(modeOf(target), 0640u);
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path), {}), 1);
    EXPECT_THROW(writeFileAtomically((directory.path / "missing" / "port").string(), "x"), std::runtime_error);
}

TEST(Startup, WritingThePortFileLeavesOtherThreadsFilesAlone)
{
    // Another thread creating files while the port file is written must get the modes its
    // umask gives, every time: the umask is the whole process's.
    TemporaryDirectory directory;
    const mode_t previous = ::umask(077);
    std::atomic<bool> stop{false};
    std::atomic<int> wrongModes{0};
    std::thread creator([&] {
        const auto file = directory.path / "other";
        for (int i = 0; !stop; ++i) {
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            struct stat status {};
            ::fstat(fd, &status);
            if ((status.st_mode & 0777) != 0600)
                ++wrongModes;
            ::close(fd);
            ::unlink(file.c_str());
        }
    });
    for (int i = 0; i < 3000 && wrongModes == 0; ++i)
        writeFileAtomically((directory.path / "port").string(), "{\"port\":1}\n");
    stop = true;
    creator.join();
    ::umask(previous);
    EXPECT_EQ(wrongModes, 0);
    EXPECT_EQ(modeOf(directory.path / "port"), 0600u);
}
