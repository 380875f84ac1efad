#pragma once

#include "platform/WindowServer.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

// The older window-server path on a Wayland desktop, over the same window list and output
// copies as WaylandScreenCapture. Calls run on the caller's thread and never throw.
class WaylandWindowServer final : public WindowServer {
public:
    WaylandWindowServer(WaylandConnection& connection, WaylandScreencopy& screencopy)
        : connection_(connection), screencopy_(screencopy)
    {
    }

    std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow) override;
    // The app id of the process's windows, as the framework path gives it.
    std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
    std::optional<Image> createWindowImage(std::uint32_t windowID) override;

private:
    WaylandConnection& connection_;
    WaylandScreencopy& screencopy_;
};
