#include "platform/wayland/WaylandDisplays.hpp"

std::optional<WaylandLayout> WaylandDisplays::layout()
{
    try {
        return connection_.run([](WaylandSession& session) { return session.layout(); });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::uint32_t WaylandDisplays::mainDisplayID()
{
    const auto current = layout();
    const WaylandOutput* main = current ? current->main() : nullptr;
    return main ? main->id : 0;
}

Rect WaylandDisplays::bounds(std::uint32_t displayID)
{
    const auto current = layout();
    const WaylandOutput* output = current ? current->find(displayID) : nullptr;
    return output ? current->bounds(*output) : Rect{};
}

std::optional<std::int64_t> WaylandDisplays::modePixelWidth(std::uint32_t displayID)
{
    const auto current = layout();
    const WaylandOutput* output = current ? current->find(displayID) : nullptr;
    if (!output)
        return std::nullopt;
    return output->pixelWidth();
}

std::int64_t WaylandDisplays::pixelsWide(std::uint32_t displayID)
{
    return modePixelWidth(displayID).value_or(0);
}

std::optional<Image> WaylandDisplays::createImage(std::uint32_t displayID)
{
    try {
        return connection_.run([&](WaylandSession& session) { return screencopy_.capture(session, displayID, false); });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
