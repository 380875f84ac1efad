#include "platform/wayland/WaylandWindows.hpp"

#include "platform/wayland/SwayTree.hpp"
#include "platform/wayland/WaylandPicture.hpp"

namespace {

std::vector<ShareableWindow> toplevelWindows(WaylandSession& session)
{
    std::vector<ShareableWindow> windows;
    for (const WaylandToplevel& toplevel : session.toplevels()) {
        ShareableWindow window;
        window.windowID = toplevel.id;
        window.title = toplevel.title;
        window.isOnScreen = !toplevel.minimized && !toplevel.outputs.empty();
        if (!toplevel.appID.empty())
            window.owningApplication = OwningApplication{0, toplevel.appID, toplevel.appID};
        windows.push_back(std::move(window));
    }
    return windows;
}

} // namespace

std::vector<ShareableWindow> waylandWindows(WaylandSession& session, const WaylandLayout& layout)
{
    if (const auto socket = SwayIPC::socketPath(session.peer())) {
        try {
            return swayWindows(SwayIPC::tree(*socket), layout);
        } catch (const PlatformError&) {
            // A socket that does not answer leaves the list to the protocol, where there is one.
            if (!session.listsToplevels())
                throw;
        }
    }
    if (session.listsToplevels())
        return toplevelWindows(session);
    throw waylandError("the compositor lists no windows (neither sway's IPC nor foreign-toplevel management)");
}

WaylandWindowPicture waylandWindowPicture(WaylandSession& session, WaylandScreencopy& screencopy,
                                          std::uint32_t windowID, bool withCursor, WaylandScreencopy::Reuse reuse)
{
    const WaylandLayout layout = session.layout();
    for (ShareableWindow& window : waylandWindows(session, layout)) {
        if (window.windowID != windowID)
            continue;
        const std::string name = "window " + std::to_string(windowID);
        if (!window.isOnScreen)
            throw waylandError(name + " is not shown (it is on a hidden workspace, tab or scratchpad, or minimized), "
                                      "and this desktop can only copy what is on screen");
        if (window.frame.width == 0 || window.frame.height == 0)
            throw waylandError("the compositor does not tell where " + name + " is, so it cannot be cut from the screen");
        const WaylandOutput* output = layout.outputShowing(window.frame);
        if (!output)
            throw waylandError(name + " is on no output");
        const PixelRect area = layout.pixelsOf(*output, window.frame);
        if (area.width <= 0 || area.height <= 0)
            throw waylandError(name + " has no pixels on output " + output->name);
        Image whole = screencopy.capture(session, output->id, withCursor, reuse);
        if (area.x + area.width > whole.width || area.y + area.height > whole.height)
            throw waylandError("the copy of output " + output->name + " is smaller than the output");
        return {cropped(whole, area), std::move(window)};
    }
    throw waylandError("window " + std::to_string(windowID) + " is gone");
}
