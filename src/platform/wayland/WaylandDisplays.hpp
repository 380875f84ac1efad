#pragma once

#include "platform/Displays.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

// Displays on a Wayland desktop: its outputs, placed and sized in logical pixels by
// xdg-output; a display's mode is its pictures' width in device pixels, so a scale-2 output
// reports twice its width in points. Any thread; each call asks the compositor afresh.
class WaylandDisplays final : public Displays {
public:
    WaylandDisplays(WaylandConnection& connection, WaylandScreencopy& screencopy)
        : connection_(connection), screencopy_(screencopy)
    {
    }

    std::uint32_t mainDisplayID() override;
    Rect bounds(std::uint32_t displayID) override;
    std::optional<std::int64_t> modePixelWidth(std::uint32_t displayID) override;
    std::int64_t pixelsWide(std::uint32_t displayID) override;
    std::optional<Image> createImage(std::uint32_t displayID) override;

private:
    std::optional<WaylandLayout> layout();
    WaylandConnection& connection_;
    WaylandScreencopy& screencopy_;
};
