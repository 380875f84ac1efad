#include "platform/wayland/WaylandDisplayServer.hpp"

#include <wayland-client.h>

WaylandDisplayServer::WaylandDisplayServer()
    : connection_({true, {}, [this] { screencopy_.forget(); }})
{
    inputEvents_.connectInBackground();
}

WaylandDisplayServer::~WaylandDisplayServer()
{
    connection_.disconnect();
}

std::unique_ptr<WaylandDisplayServer> WaylandDisplayServer::ifOffered()
{
    const std::string name = WaylandConnection::environmentDisplay();
    if (name.empty())
        return nullptr;
    wl_display* display = wl_display_connect(name.c_str());
    if (!display)
        return nullptr;
    try {
        WaylandSession probe(display, false);
        probe.start();
        if (probe.screencopy() && probe.shm() && probe.pointerManager() && probe.keyboardManager() && probe.seat()
            && !probe.layout().outputs().empty())
            return std::make_unique<WaylandDisplayServer>();
    } catch (const std::exception&) {
    }
    return nullptr;
}

bool WaylandDisplayServer::canCapture()
{
    try {
        return connection_.run([](WaylandSession& session) { return session.screencopy() && session.shm(); });
    } catch (const std::exception&) {
        return false;
    }
}

bool WaylandDisplayServer::canPostInput()
{
    try {
        return connection_.run([](WaylandSession& session) {
            return session.pointerManager() && session.keyboardManager() && session.seat();
        });
    } catch (const std::exception&) {
        return false;
    }
}
