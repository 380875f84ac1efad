#pragma once

#include "platform/Displays.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11DisplayLayout.hpp"

#include <vector>

// The session's layout (X11Session::displayLayout), read from RandR when the session has
// none: every request is sent before any reply is read. Throws X11ConnectionLost.
const X11DisplayLayout& x11DisplayLayout(X11Session& session);

// Displays on X11 through RandR. Any thread; the layout is the session's, read again after
// RandR reports a change.
class X11Displays final : public Displays {
public:
    explicit X11Displays(X11Connection& connection) : connection_(connection) {}

    std::uint32_t mainDisplayID() override;
    Rect bounds(std::uint32_t displayID) override;
    std::optional<std::int64_t> modePixelWidth(std::uint32_t displayID) override;
    std::int64_t pixelsWide(std::uint32_t displayID) override;
    std::optional<Image> createImage(std::uint32_t displayID) override;

private:
    std::optional<X11DisplayLayout> layout();
    X11Connection& connection_;
};
