#include "platform/x11/X11DisplayServer.hpp"

bool x11CanCapture(X11Connection& connection)
{
    try {
        return connection.run([](X11Session&) { return true; });
    } catch (const std::exception&) {
        return false;
    }
}

bool x11CanPostInput(X11Connection& connection)
{
    try {
        return connection.run([](X11Session& session) { return session.hasXTest; });
    } catch (const std::exception&) {
        return false;
    }
}

bool x11IsSessionXWayland(X11Connection& connection, const UnservedWaylandSession& wayland)
{
    try {
        return connection.run([&wayland](X11Session& session) {
            return session.isXWayland
                   || (wayland.compositorProcessID > 0 && session.socketOwnerProcessID == wayland.compositorProcessID);
        });
    } catch (const std::exception&) {
        return false;
    }
}
