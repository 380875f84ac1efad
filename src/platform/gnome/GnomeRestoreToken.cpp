#include "platform/gnome/GnomeRestoreToken.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

std::filesystem::path restoreTokenFile(const std::string& name)
{
    std::filesystem::path folder;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        folder = state;
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = std::filesystem::path(home) / ".local" / "state";
    else
        return {};
    return folder / "velmar-computer-use" / name;
}

std::string readRestoreToken(const std::filesystem::path& file)
{
    if (file.empty())
        return {};
    std::ifstream in(file);
    std::string token;
    std::getline(in, token);
    // A token is a short opaque word; anything else is not one of ours.
    if (token.size() > 1024)
        return {};
    return token;
}

void keepRestoreToken(const std::filesystem::path& file, const std::string& token)
{
    if (file.empty() || token.empty())
        return;
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    ::chmod(file.parent_path().c_str(), 0700);
    const std::filesystem::path temporary = file.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const std::string text = token + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0)
        ::unlink(temporary.c_str());
}
