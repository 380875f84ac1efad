#include "platform/linux/DesktopSession.hpp"

#include "base/Process.hpp"
#include "base/Text.hpp"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The socket a Wayland client would connect to, as libwayland finds it: WAYLAND_DISPLAY as
// a path when absolute, else a name in XDG_RUNTIME_DIR ("wayland-0" when unset).
std::string waylandSocketPath(const std::function<std::optional<std::string>(const char*)>& variable)
{
    std::string name = variable("WAYLAND_DISPLAY").value_or("");
    if (name.empty())
        name = "wayland-0";
    if (name.front() == '/')
        return name;
    const auto runtime = variable("XDG_RUNTIME_DIR");
    if (!runtime || runtime->empty())
        return "";
    return *runtime + "/" + name;
}

// The process that made the socket; 0 when there is none. Non-blocking, so that a compositor
// whose backlog is full cannot hold start-up.
int processListeningAt(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return 0;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return 0;
    int processID = 0;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        processID = peerProcessID(socket);
    ::close(socket);
    return processID;
}

// Names come from the environment and from /proc: valid UTF-8 of a sane length.
std::string bounded(const std::string& text)
{
    constexpr std::size_t longest = 64;
    return validUTF8(std::string_view(text).substr(0, longest), text.size() > longest ? Ending::cut : Ending::whole);
}

}

DesktopSession DesktopSession::fromEnvironment(const std::function<std::optional<std::string>(const char*)>& variable)
{
    DesktopSession session;
    const bool waylandDisplay = !variable("WAYLAND_DISPLAY").value_or("").empty();
    session.wayland = waylandDisplay || variable("XDG_SESSION_TYPE").value_or("") == "wayland";
    session.desktop = variable("XDG_CURRENT_DESKTOP").value_or("");
    if (session.wayland) {
        session.compositorProcessID = processListeningAt(waylandSocketPath(variable));
        session.compositor = processName(session.compositorProcessID);
    }
    return session;
}

DesktopSession DesktopSession::fromEnvironment()
{
    return fromEnvironment([](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    });
}

std::string unservedWaylandDetail(const DesktopSession& session)
{
    const std::string desktop = bounded(session.desktop);
    const std::string compositor = bounded(session.compositor);
    std::string name;
    if (!desktop.empty() && !compositor.empty())
        name = desktop + " (" + compositor + ")";
    else
        name = !desktop.empty() ? desktop : compositor;
    return (name.empty() ? std::string("this Wayland desktop") : "the Wayland desktop " + name)
           + " is not served: X windows only (the windows of X applications, through XWayland, can be listed "
             "and captured; the screen cannot be captured and no input can be posted); served are X11 sessions "
             "and Wayland compositors that offer wlroots screencopy and virtual input (sway, Hyprland, river, "
             "labwc, Wayfire), GNOME with its desktop portal (xdg-desktop-portal-gnome), and KDE Plasma";
}
