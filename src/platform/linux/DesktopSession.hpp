#pragma once

#include <functional>
#include <optional>
#include <string>

// What the environment tells of the desktop session this process was started in. Read once,
// when the display server is chosen.
struct DesktopSession {
    // WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE is "wayland".
    bool wayland = false;
    // XDG_CURRENT_DESKTOP as the session sets it ("GNOME", "KDE", "ubuntu:GNOME"); may be empty.
    std::string desktop;
    // The compositor's command name ("weston", "gnome-shell") and process, from the other end
    // of its socket; empty and 0 when they cannot be known.
    std::string compositor;
    int compositorProcessID = 0;

    // `variable` reads one environment variable (nothing when unset); the compositor is found
    // through the Wayland socket those variables name.
    static DesktopSession fromEnvironment(const std::function<std::optional<std::string>(const char*)>& variable);
    static DesktopSession fromEnvironment();
};

// What the status report says of a Wayland session that no backend of this program serves,
// seen through its XWayland: the desktop by name, what stays within reach (the X windows),
// and what would serve it. Bounded in length whatever the environment holds.
std::string unservedWaylandDetail(const DesktopSession& session);
