#pragma once

#include "platform/WindowServer.hpp"
#include "platform/linux/X11Connection.hpp"

// The older window-server path on X11, over the same window list and Composite pictures as
// X11ScreenCapture. Calls run on the caller's thread and never throw.
class X11WindowServer final : public WindowServer {
public:
    explicit X11WindowServer(X11Connection& connection) : connection_(connection) {}

    std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow) override;
    // The process's command name from /proc: X11 has no bundle identifiers.
    std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
    std::optional<Image> createWindowImage(std::uint32_t windowID) override;

private:
    X11Connection& connection_;
};
