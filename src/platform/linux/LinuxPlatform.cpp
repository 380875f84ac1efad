#include "platform/linux/LinuxPlatform.hpp"

#include "base/Process.hpp"
#include "platform/linux/DesktopSession.hpp"
#include "platform/x11/X11DisplayServer.hpp"
#include "platform/wayland/WaylandDisplayServer.hpp"
#include "platform/gnome/GnomeDisplayServer.hpp"
#include "platform/kde/KdeDisplayServer.hpp"

#include <sys/prctl.h>

LinuxPlatform::LinuxPlatform(SerialQueue& mainQueue)
    : clock_(Clock::system()), mainThread_(mainQueue), displayServer_(chooseDisplayServer()),
      platform_{clock_, mainThread_, displayServer_->displays(), displayServer_->screenCapture(), displayServer_->windowServer(), systemVersion_, privacy_, imaging_, displayServer_->inputEvents(), systemAudio_, audio_, fileSystem_}
{
    // Input gestures are made of many short pauses (a drag has fifteen); the kernel's
    // default 50 us of timer slack per sleep adds up across them. Threads started after
    // this one, the HTTP work queue among them, inherit the tighter slack.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    // Whatever this process takes of the desktop goes back whichever way it ends (a process
    // killed outright leaves it to the next, or to the compositor).
    atProcessEnd([this] { displayServer_->inputEvents().relinquish(); });
}

std::unique_ptr<DisplayServer> LinuxPlatform::chooseDisplayServer()
{
    if (auto wayland = WaylandDisplayServer::ifOffered())
        return wayland;
    if (auto gnome = GnomeDisplayServer::ifOffered())
        return gnome;
    if (auto kde = KdeDisplayServer::ifOffered())
        return kde;
    // A Wayland session that no backend took is reached, if at all, through its XWayland,
    // which shows only X windows: X11 then says so rather than report a black screen as seen.
    const DesktopSession session = DesktopSession::fromEnvironment();
    if (session.wayland)
        return std::make_unique<X11DisplayServer>(
            UnservedWaylandSession{unservedWaylandDetail(session), session.compositorProcessID});
    return std::make_unique<X11DisplayServer>();
}
