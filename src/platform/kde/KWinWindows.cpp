#include "platform/kde/KWinWindows.hpp"

#include "base/Text.hpp"
#include "platform/wayland/WaylandConnection.hpp"

#include "plasma-window-management-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

// Version 13 names windows and the stacking order by KWin's uuids; 16 is the newest this
// program knows the events of.
constexpr std::uint32_t oldestVersion = 13;
constexpr std::uint32_t newestVersion = 16;
// A window is described in the round trip after it is announced.
constexpr auto describeDeadline = std::chrono::seconds(2);
// State flags of the protocol.
constexpr std::uint32_t stateActive = 1u << 0;
constexpr std::uint32_t stateMinimized = 1u << 1;

} // namespace

struct KWinWindows::State {
    struct Window {
        State* state = nullptr;
        org_kde_plasma_window* proxy = nullptr;
        KWinWindow info;
        bool described = false;
        bool unmapped = false;
        ~Window()
        {
            if (proxy)
                org_kde_plasma_window_destroy(proxy);
        }
    };

    wl_registry* registry = nullptr;
    std::uint32_t managementName = 0;
    org_kde_plasma_window_management* management = nullptr;
    std::map<std::string, std::unique_ptr<Window>> windows; // by uuid
    // Bottom to top, as KWin stacks them.
    std::vector<std::string> stacking;

    void adopt(std::uint32_t id, const char* uuid);
    void forgetUnmapped();
    void clear();
};

namespace {

KWinWindows::State::Window* windowOf(void* data)
{
    return static_cast<KWinWindows::State::Window*>(data);
}

const org_kde_plasma_window_listener windowListener = {
    .title_changed = [](void* data, org_kde_plasma_window*,
                        const char* title) { windowOf(data)->info.title = validUTF8(title ? title : ""); },
    .app_id_changed = [](void* data, org_kde_plasma_window*,
                         const char* appID) { windowOf(data)->info.appID = validUTF8(appID ? appID : ""); },
    .state_changed =
        [](void* data, org_kde_plasma_window*, std::uint32_t flags) {
            windowOf(data)->info.minimized = flags & stateMinimized;
            windowOf(data)->info.active = flags & stateActive;
        },
    .virtual_desktop_changed = [](void*, org_kde_plasma_window*, std::int32_t) {},
    .themed_icon_name_changed = [](void*, org_kde_plasma_window*, const char*) {},
    .unmapped = [](void* data, org_kde_plasma_window*) { windowOf(data)->unmapped = true; },
    .initial_state = [](void* data, org_kde_plasma_window*) { windowOf(data)->described = true; },
    .parent_window = [](void*, org_kde_plasma_window*, org_kde_plasma_window*) {},
    .geometry =
        [](void* data, org_kde_plasma_window*, std::int32_t x, std::int32_t y, std::uint32_t width,
           std::uint32_t height) {
            windowOf(data)->info.frame = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
                                          static_cast<double>(height)};
        },
    .icon_changed = [](void*, org_kde_plasma_window*) {},
    .pid_changed =
        [](void* data, org_kde_plasma_window*, std::uint32_t pid) {
            windowOf(data)->info.processID = pid <= 0x7fffffffu ? static_cast<std::int32_t>(pid) : 0;
        },
    .virtual_desktop_entered = [](void*, org_kde_plasma_window*, const char*) {},
    .virtual_desktop_left = [](void*, org_kde_plasma_window*, const char*) {},
    .application_menu = [](void*, org_kde_plasma_window*, const char*, const char*) {},
    .activity_entered = [](void*, org_kde_plasma_window*, const char*) {},
    .activity_left = [](void*, org_kde_plasma_window*, const char*) {},
    .resource_name_changed = [](void*, org_kde_plasma_window*, const char*) {},
};

KWinWindows::State* stateOf(void* data)
{
    return static_cast<KWinWindows::State*>(data);
}

std::vector<std::string> splitUuids(const char* list)
{
    std::vector<std::string> uuids;
    std::string_view rest = list ? list : "";
    while (!rest.empty()) {
        const auto semicolon = rest.find(';');
        if (const auto uuid = rest.substr(0, semicolon); !uuid.empty())
            uuids.emplace_back(uuid);
        rest = semicolon == std::string_view::npos ? std::string_view{} : rest.substr(semicolon + 1);
    }
    return uuids;
}

const org_kde_plasma_window_management_listener managementListener = {
    .show_desktop_changed = [](void*, org_kde_plasma_window_management*, std::uint32_t) {},
    // Sent in place of window_with_uuid to clients of older versions only.
    .window = [](void*, org_kde_plasma_window_management*, std::uint32_t) {},
    .stacking_order_changed = [](void*, org_kde_plasma_window_management*, wl_array*) {},
    .stacking_order_uuid_changed = [](void* data, org_kde_plasma_window_management*,
                                      const char* uuids) { stateOf(data)->stacking = splitUuids(uuids); },
    .window_with_uuid = [](void* data, org_kde_plasma_window_management*, std::uint32_t id,
                           const char* uuid) { stateOf(data)->adopt(id, uuid); },
};

const wl_registry_listener registryListener = {
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
            auto* state = stateOf(data);
            if (std::strcmp(interface, org_kde_plasma_window_management_interface.name) != 0 || state->management
                || version < oldestVersion)
                return;
            state->managementName = name;
            state->management = static_cast<org_kde_plasma_window_management*>(
                wl_registry_bind(registry, name, &org_kde_plasma_window_management_interface,
                                 std::min(version, newestVersion)));
            org_kde_plasma_window_management_add_listener(state->management, &managementListener, state);
        },
    .global_remove =
        [](void* data, wl_registry*, std::uint32_t name) {
            // KWin withdrew the list from this program: what it said of its windows goes too.
            auto* state = stateOf(data);
            if (state->management && name == state->managementName) {
                state->windows.clear();
                state->stacking.clear();
                org_kde_plasma_window_management_destroy(state->management);
                state->management = nullptr;
            }
        },
};

} // namespace

void KWinWindows::State::adopt(std::uint32_t id, const char* uuid)
{
    if (!uuid || !*uuid || !management)
        return;
    auto window = std::make_unique<Window>();
    window->state = this;
    window->info.id = id;
    window->info.uuid = uuid;
    window->proxy = org_kde_plasma_window_management_get_window_by_uuid(management, uuid);
    org_kde_plasma_window_add_listener(window->proxy, &windowListener, window.get());
    // A uuid announced again is a window mapped again: the old description is void.
    windows[uuid] = std::move(window);
}

void KWinWindows::State::forgetUnmapped()
{
    std::erase_if(windows, [](const auto& entry) { return entry.second->unmapped; });
}

void KWinWindows::State::clear()
{
    windows.clear();
    stacking.clear();
    if (management)
        org_kde_plasma_window_management_destroy(management);
    management = nullptr;
    if (registry)
        wl_registry_destroy(registry);
    registry = nullptr;
}

KWinWindows::KWinWindows() : state_(std::make_unique<State>()) {}

KWinWindows::~KWinWindows()
{
    state_->clear();
}

void KWinWindows::attach(WaylandSession& session)
{
    state_->clear();
    state_->registry = wl_display_get_registry(session.display());
    wl_registry_add_listener(state_->registry, &registryListener, state_.get());
    // The globals, then what the window management says on binding (its windows, their order).
    session.roundtrip();
    if (state_->management)
        session.roundtrip();
}

void KWinWindows::detach()
{
    state_->clear();
}

bool KWinWindows::offered() const
{
    return state_->management != nullptr;
}

std::vector<KWinWindow> KWinWindows::windows(WaylandSession& session)
{
    State& state = *state_;
    session.dispatchUntil(
        [&] {
            return std::all_of(state.windows.begin(), state.windows.end(),
                               [](const auto& entry) { return entry.second->described || entry.second->unmapped; });
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(describeDeadline));
    state.forgetUnmapped();

    // Front to back: the stacking order from the top; windows it does not name yet (mapped
    // since it was last sent) behind them.
    std::vector<KWinWindow> list;
    list.reserve(state.windows.size());
    for (auto uuid = state.stacking.rbegin(); uuid != state.stacking.rend(); ++uuid) {
        if (const auto found = state.windows.find(*uuid); found != state.windows.end())
            list.push_back(found->second->info);
    }
    for (const auto& [uuid, window] : state.windows) {
        if (std::find(state.stacking.begin(), state.stacking.end(), uuid) == state.stacking.end())
            list.push_back(window->info);
    }
    return list;
}
