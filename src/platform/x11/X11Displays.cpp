#include "platform/x11/X11Displays.hpp"

#include "platform/x11/X11Image.hpp"

#include <xcb/randr.h>

const X11Monitor* X11DisplayLayout::find(std::uint32_t id) const
{
    for (const auto& monitor : monitors) {
        if (monitor.id == id)
            return &monitor;
    }
    return nullptr;
}

const X11DisplayLayout& x11DisplayLayout(X11Session& session)
{
    if (session.displayLayout)
        return *session.displayLayout;
    xcb_connection_t* connection = session.connection;
    X11DisplayLayout layout;
    if (session.hasRandR) {
        auto resourcesCookie = xcb_randr_get_screen_resources_current(connection, session.root);
        auto primaryCookie = xcb_randr_get_output_primary(connection, session.root);
        auto resources = x11Reply(connection,
                                  xcb_randr_get_screen_resources_current_reply(connection, resourcesCookie, nullptr), nullptr);
        auto primary = x11Reply(connection, xcb_randr_get_output_primary_reply(connection, primaryCookie, nullptr), nullptr);
        if (resources) {
            const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
            const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
            std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
            for (int i = 0; i < outputCount; ++i)
                outputCookies.push_back(xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp));
            std::vector<std::pair<xcb_randr_output_t, xcb_randr_get_crtc_info_cookie_t>> crtcCookies;
            for (int i = 0; i < outputCount; ++i) {
                auto info = x11Reply(connection, xcb_randr_get_output_info_reply(connection, outputCookies[i], nullptr),
                                     nullptr);
                if (info && info->crtc != XCB_NONE && info->connection != XCB_RANDR_CONNECTION_DISCONNECTED)
                    crtcCookies.emplace_back(outputs[i],
                                             xcb_randr_get_crtc_info(connection, info->crtc, resources->config_timestamp));
            }
            for (auto& [output, cookie] : crtcCookies) {
                auto crtc = x11Reply(connection, xcb_randr_get_crtc_info_reply(connection, cookie, nullptr), nullptr);
                if (!crtc || crtc->mode == XCB_NONE || crtc->width == 0 || crtc->height == 0)
                    continue;
                if (primary && primary->output == output)
                    layout.main = layout.monitors.size();
                layout.monitors.push_back({output, crtc->x, crtc->y, crtc->width, crtc->height});
            }
        }
    }
    if (layout.monitors.empty()) {
        layout.monitors.push_back({session.root, 0, 0, session.screen->width_in_pixels, session.screen->height_in_pixels});
        layout.main = 0;
    }
    return session.displayLayout.emplace(std::move(layout));
}

std::optional<X11DisplayLayout> X11Displays::layout()
{
    try {
        return connection_.run([](X11Session& session) { return x11DisplayLayout(session); });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::uint32_t X11Displays::mainDisplayID()
{
    auto current = layout();
    return current ? current->mainMonitor().id : 0;
}

Rect X11Displays::bounds(std::uint32_t displayID)
{
    auto current = layout();
    const X11Monitor* monitor = current ? current->find(displayID) : nullptr;
    if (!monitor)
        return {};
    const X11Monitor& main = current->mainMonitor();
    return {static_cast<double>(monitor->x - main.x), static_cast<double>(monitor->y - main.y),
            static_cast<double>(monitor->width), static_cast<double>(monitor->height)};
}

std::optional<std::int64_t> X11Displays::modePixelWidth(std::uint32_t displayID)
{
    auto current = layout();
    const X11Monitor* monitor = current ? current->find(displayID) : nullptr;
    if (!monitor)
        return std::nullopt;
    return monitor->width;
}

std::int64_t X11Displays::pixelsWide(std::uint32_t displayID)
{
    return modePixelWidth(displayID).value_or(0);
}

std::optional<Image> X11Displays::createImage(std::uint32_t displayID)
{
    try {
        return connection_.run([displayID](X11Session& session) -> std::optional<Image> {
            X11DisplayLayout current = x11DisplayLayout(session);
            const X11Monitor* monitor = current.find(displayID);
            if (!monitor)
                return std::nullopt;
            return x11ReadImage(session, session.root, monitor->x, monitor->y, monitor->width, monitor->height);
        });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
