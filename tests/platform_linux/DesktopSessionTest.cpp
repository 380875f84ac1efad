#include "platform/linux/DesktopSession.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Environment = std::map<std::string, std::string>;

DesktopSession sessionOf(const Environment& environment)
{
    return DesktopSession::fromEnvironment([&](const char* name) -> std::optional<std::string> {
        const auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional<std::string>(found->second);
    });
}

std::string ownCommandName()
{
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// A listening socket in a directory of its own, standing in for a compositor's.
struct ListeningSocket {
    ListeningSocket()
    {
        char pattern[] = "/tmp/velmar-session-XXXXXX";
        directory = ::mkdtemp(pattern);
        path = directory + "/wayland-7";
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    ~ListeningSocket()
    {
        ::close(fd);
        ::unlink(path.c_str());
        ::rmdir(directory.c_str());
    }
    std::string directory, path;
    int fd = -1;
};

} // namespace

TEST(DesktopSession, AWaylandSessionIsNamedByEitherVariable)
{
    const std::pair<Environment, bool> cases[] = {
        {{{"WAYLAND_DISPLAY", "wayland-1"}}, true},
        {{{"XDG_SESSION_TYPE", "wayland"}}, true},
        {{{"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":0"}}, false},
        {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "tty"}}, false},
        {{}, false},
    };
    for (const auto& [environment, wayland] : cases)
        EXPECT_EQ(sessionOf(environment).wayland, wayland) << testing::PrintToString(environment);
    EXPECT_EQ(sessionOf({{"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}}).desktop,
              "ubuntu:GNOME");
}

TEST(DesktopSession, TheCompositorIsTheProcessListeningOnTheSocket)
{
    ListeningSocket compositor;
    const std::string self = ownCommandName();
    const auto byName = sessionOf({{"WAYLAND_DISPLAY", "wayland-7"}, {"XDG_RUNTIME_DIR", compositor.directory}});
    EXPECT_EQ(byName.compositor, self);
    EXPECT_EQ(byName.compositorProcessID, ::getpid());
    EXPECT_EQ(sessionOf({{"WAYLAND_DISPLAY", compositor.path}}).compositor, self);
    // Without WAYLAND_DISPLAY a client would try wayland-0, which nobody serves here.
    EXPECT_EQ(sessionOf({{"XDG_SESSION_TYPE", "wayland"}, {"XDG_RUNTIME_DIR", compositor.directory}}).compositor, "");
    // Outside a Wayland session nothing is asked.
    EXPECT_EQ(sessionOf({{"XDG_RUNTIME_DIR", compositor.directory}}).compositor, "");
}

TEST(DesktopSession, TheDetailNamesTheDesktopAndWhatServesIt)
{
    const std::pair<DesktopSession, std::string> cases[] = {
        {{true, "GNOME", "gnome-shell", 0}, "the Wayland desktop GNOME (gnome-shell) is not served: X windows only"},
        {{true, "KDE", "", 0}, "the Wayland desktop KDE is not served: X windows only"},
        {{true, "", "weston", 0}, "the Wayland desktop weston is not served: X windows only"},
        {{true, "", "", 0}, "this Wayland desktop is not served: X windows only"},
    };
    for (const auto& [session, opening] : cases) {
        const std::string detail = unservedWaylandDetail(session);
        EXPECT_EQ(detail.rfind(opening, 0), 0u) << detail;
        EXPECT_NE(detail.find("the screen cannot be captured and no input can be posted"), std::string::npos);
        EXPECT_NE(detail.find("served are X11 sessions and Wayland compositors"), std::string::npos);
    }
    // Whatever the environment holds, the detail stays short and valid UTF-8 for the JSON answer.
    const std::string detail = unservedWaylandDetail({true, "GN\xffOME" + std::string(5000, 'x'), "weston", 0});
    EXPECT_LT(detail.size(), 500u);
    EXPECT_EQ(detail.find('\xff'), std::string::npos);
}
