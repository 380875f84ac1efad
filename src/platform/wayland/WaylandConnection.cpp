#include "platform/wayland/WaylandConnection.hpp"

#include "fake-input-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

struct WaylandSession::Output {
    WaylandSession* session = nullptr;
    wl_output* proxy = nullptr;
    zxdg_output_v1* xdg = nullptr;
    WaylandOutput info;
    int geometryX = 0;
    int geometryY = 0;
    bool logicalPosition = false;
    bool logicalSize = false;

    ~Output()
    {
        if (xdg)
            zxdg_output_v1_destroy(xdg);
        if (proxy) {
            if (wl_proxy_get_version(reinterpret_cast<wl_proxy*>(proxy)) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
                wl_output_release(proxy);
            else
                wl_output_destroy(proxy);
        }
    }

    // Without xdg-output, the logical place is the one wl_output gives and the logical size
    // the mode divided by the integer scale.
    WaylandOutput described() const
    {
        WaylandOutput out = info;
        if (!logicalPosition) {
            out.x = geometryX;
            out.y = geometryY;
        }
        if (!logicalSize) {
            const int scale = std::max(1, info.scale);
            out.width = info.pixelWidth() / scale;
            out.height = info.pixelHeight() / scale;
        }
        return out;
    }
};

struct WaylandSession::Toplevel {
    WaylandSession* session = nullptr;
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    WaylandToplevel info;
    bool closed = false;

    ~Toplevel()
    {
        if (handle)
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
    }
};

namespace {

// The versions this client speaks; a compositor offering less is spoken to at its own.
constexpr std::uint32_t outputVersion = 4;
constexpr std::uint32_t xdgOutputVersion = 3;
constexpr std::uint32_t screencopyVersion = 3;
constexpr std::uint32_t pointerManagerVersion = 2;
constexpr std::uint32_t toplevelManagerVersion = 3;

template <typename T> T* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
                              std::uint32_t offered, std::uint32_t spoken)
{
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, spoken)));
}

WaylandSession::Output* outputOf(void* data)
{
    return static_cast<WaylandSession::Output*>(data);
}

const wl_output_listener outputListener = {
    .geometry = [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t transform) {
        outputOf(data)->geometryX = x;
        outputOf(data)->geometryY = y;
        outputOf(data)->info.transform = transform;
    },
    .mode = [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
               std::int32_t refresh) {
        if (flags & WL_OUTPUT_MODE_CURRENT) {
            outputOf(data)->info.modeWidth = width;
            outputOf(data)->info.modeHeight = height;
            outputOf(data)->info.refresh = refresh;
        }
    },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*, std::int32_t factor) { outputOf(data)->info.scale = factor; },
    .name = [](void* data, wl_output*, const char* name) { outputOf(data)->info.name = name ? name : ""; },
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener xdgOutputListener = {
    .logical_position = [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
        outputOf(data)->info.x = x;
        outputOf(data)->info.y = y;
        outputOf(data)->logicalPosition = true;
    },
    .logical_size = [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
        outputOf(data)->info.width = width;
        outputOf(data)->info.height = height;
        outputOf(data)->logicalSize = true;
    },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void* data, zxdg_output_v1*, const char* name) {
        if (outputOf(data)->info.name.empty() && name)
            outputOf(data)->info.name = name;
    },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

WaylandSession::Toplevel* toplevelOf(void* data)
{
    return static_cast<WaylandSession::Toplevel*>(data);
}

std::uint32_t outputID(wl_output* output)
{
    auto* described = output ? static_cast<WaylandSession::Output*>(wl_output_get_user_data(output)) : nullptr;
    return described ? described->info.id : 0;
}

const zwlr_foreign_toplevel_handle_v1_listener toplevelListener = {
    .title = [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
        toplevelOf(data)->info.title = validUTF8(title ? title : "");
    },
    .app_id = [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* appID) {
        toplevelOf(data)->info.appID = validUTF8(appID ? appID : "");
    },
    .output_enter = [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
        auto& outputs = toplevelOf(data)->info.outputs;
        if (const std::uint32_t id = outputID(output); id && std::find(outputs.begin(), outputs.end(), id) == outputs.end())
            outputs.push_back(id);
    },
    .output_leave = [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
        auto& outputs = toplevelOf(data)->info.outputs;
        outputs.erase(std::remove(outputs.begin(), outputs.end(), outputID(output)), outputs.end());
    },
    .state = [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        WaylandToplevel& info = toplevelOf(data)->info;
        info.minimized = info.activated = false;
        const auto* state = static_cast<const std::uint32_t*>(states->data);
        for (std::size_t i = 0; i < states->size / sizeof(std::uint32_t); ++i) {
            if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED)
                info.minimized = true;
            else if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED)
                info.activated = true;
        }
    },
    .done = [](void*, zwlr_foreign_toplevel_handle_v1*) {},
    .closed = [](void* data, zwlr_foreign_toplevel_handle_v1*) { toplevelOf(data)->closed = true; },
    .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

const zwlr_foreign_toplevel_manager_v1_listener toplevelManagerListener = {
    .toplevel = [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        static_cast<WaylandSession*>(data)->adoptToplevel(handle);
    },
    .finished = [](void*, zwlr_foreign_toplevel_manager_v1*) {},
};

const wl_seat_listener seatListener = {
    .capabilities = [](void* data, wl_seat*, std::uint32_t capabilities) {
        static_cast<WaylandSession*>(data)->setSeatCapabilities(capabilities);
    },
    .name = [](void*, wl_seat*, const char*) {},
};

const wl_registry_listener registryListener = {
    .global = [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
        static_cast<WaylandSession*>(data)->announce(registry, name, interface, version);
    },
    .global_remove = [](void* data, wl_registry*, std::uint32_t name) {
        static_cast<WaylandSession*>(data)->withdraw(name);
    },
};

} // namespace

WaylandSession::WaylandSession(wl_display* display, bool listToplevels)
    : display_(display), listToplevels_(listToplevels)
{
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
}

void WaylandSession::start()
{
    // The globals, then what the bound ones describe (outputs, windows).
    roundtrip();
    roundtrip();
}

WaylandSession::~WaylandSession()
{
    toplevels_.clear();
    outputs_.clear();
    if (toplevelManager_)
        zwlr_foreign_toplevel_manager_v1_destroy(toplevelManager_);
    if (keyboardManager_)
        zwp_virtual_keyboard_manager_v1_destroy(keyboardManager_);
    if (pointerManager_)
        zwlr_virtual_pointer_manager_v1_destroy(pointerManager_);
    if (screencopy_)
        zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (xdgOutputManager_)
        zxdg_output_manager_v1_destroy(xdgOutputManager_);
    if (fakeInput_)
        org_kde_kwin_fake_input_destroy(fakeInput_);
    if (seat_)
        wl_seat_destroy(seat_);
    if (shm_)
        wl_shm_destroy(shm_);
    if (registry_)
        wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

void WaylandSession::announce(wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version)
{
    const std::string_view kind = interface;
    if (kind == wl_output_interface.name) {
        addOutput(name, version);
    } else if (kind == wl_shm_interface.name && !shm_) {
        shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (kind == wl_seat_interface.name && !seat_) {
        seat_ = bind<wl_seat>(registry, name, &wl_seat_interface, version, 2);
        wl_seat_add_listener(seat_, &seatListener, this);
    } else if (kind == zxdg_output_manager_v1_interface.name && !xdgOutputManager_) {
        xdgOutputManager_ = bind<zxdg_output_manager_v1>(registry, name, &zxdg_output_manager_v1_interface, version,
                                                         xdgOutputVersion);
        for (auto& output : outputs_)
            watchOutput(*output);
    } else if (kind == zwlr_screencopy_manager_v1_interface.name && !screencopy_) {
        screencopy_ = bind<zwlr_screencopy_manager_v1>(registry, name, &zwlr_screencopy_manager_v1_interface, version,
                                                       screencopyVersion);
    } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && !pointerManager_) {
        pointerManager_ = bind<zwlr_virtual_pointer_manager_v1>(
            registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, pointerManagerVersion);
    } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name && !keyboardManager_) {
        keyboardManager_ = bind<zwp_virtual_keyboard_manager_v1>(
            registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
    } else if (kind == org_kde_kwin_fake_input_interface.name && !fakeInput_) {
        fakeInputVersion_ = std::min<std::uint32_t>(version, 4);
        fakeInput_ = bind<org_kde_kwin_fake_input>(registry, name, &org_kde_kwin_fake_input_interface, version, 4);
    } else if (kind == zwlr_foreign_toplevel_manager_v1_interface.name && listToplevels_ && !toplevelManager_) {
        toplevelManager_ = bind<zwlr_foreign_toplevel_manager_v1>(
            registry, name, &zwlr_foreign_toplevel_manager_v1_interface, version, toplevelManagerVersion);
        zwlr_foreign_toplevel_manager_v1_add_listener(toplevelManager_, &toplevelManagerListener, this);
    }
}

void WaylandSession::withdraw(std::uint32_t name)
{
    outputs_.erase(std::remove_if(outputs_.begin(), outputs_.end(),
                                  [name](const auto& output) { return output->info.id == name; }),
                   outputs_.end());
}

void WaylandSession::addOutput(std::uint32_t name, std::uint32_t version)
{
    auto output = std::make_unique<Output>();
    output->session = this;
    output->info.id = name;
    output->proxy = bind<wl_output>(registry_, name, &wl_output_interface, version, outputVersion);
    wl_output_add_listener(output->proxy, &outputListener, output.get());
    if (xdgOutputManager_)
        watchOutput(*output);
    outputs_.push_back(std::move(output));
}

void WaylandSession::watchOutput(Output& output)
{
    if (output.xdg)
        return;
    output.xdg = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output.proxy);
    zxdg_output_v1_add_listener(output.xdg, &xdgOutputListener, &output);
}

void WaylandSession::adoptToplevel(zwlr_foreign_toplevel_handle_v1* handle)
{
    auto toplevel = std::make_unique<Toplevel>();
    toplevel->session = this;
    toplevel->handle = handle;
    toplevel->info.id = nextToplevelID_++;
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &toplevelListener, toplevel.get());
    toplevels_.push_back(std::move(toplevel));
}

WaylandLayout WaylandSession::layout() const
{
    std::vector<WaylandOutput> outputs;
    for (const auto& output : outputs_) {
        WaylandOutput described = output->described();
        // An output the compositor has not described yet (or switched off) shows nothing.
        if (described.modeWidth > 0 && described.modeHeight > 0 && described.width > 0 && described.height > 0)
            outputs.push_back(std::move(described));
    }
    return WaylandLayout(std::move(outputs));
}

wl_output* WaylandSession::output(std::uint32_t id) const
{
    for (const auto& output : outputs_) {
        if (output->info.id == id)
            return output->proxy;
    }
    return nullptr;
}

std::vector<WaylandToplevel> WaylandSession::toplevels()
{
    // Closed windows are forgotten here, once their last event has been read.
    toplevels_.erase(std::remove_if(toplevels_.begin(), toplevels_.end(), [](const auto& t) { return t->closed; }),
                     toplevels_.end());
    std::vector<WaylandToplevel> list;
    for (const auto& toplevel : toplevels_)
        list.push_back(toplevel->info);
    return list;
}

void WaylandSession::check() const
{
    if (wl_display_get_error(display_) != 0)
        throw WaylandConnectionLost();
}

std::optional<std::pair<int, unsigned>> WaylandSession::peer() const
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(wl_display_get_fd(display_), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || credentials.pid <= 0)
        return std::nullopt;
    return std::make_pair(static_cast<int>(credentials.pid), static_cast<unsigned>(credentials.uid));
}

void WaylandSession::dispatchUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline)
{
    if (!dispatchUntil(done, std::chrono::steady_clock::now() + deadline))
        throw WaylandNoAnswer("Wayland", 0, "the Wayland compositor did not answer within "
                                                + std::to_string(deadline.count() / 1000.0).substr(0, 4) + " s");
}

bool WaylandSession::dispatchUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point end)
{
    for (;;) {
        if (wl_display_dispatch_pending(display_) < 0)
            throw WaylandConnectionLost();
        if (done())
            return true;
        while (wl_display_prepare_read(display_) != 0) {
            if (wl_display_dispatch_pending(display_) < 0)
                throw WaylandConnectionLost();
        }
        if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display_);
            throw WaylandConnectionLost();
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            wl_display_cancel_read(display_);
            return false;
        }
        pollfd descriptor{wl_display_get_fd(display_), POLLIN, 0};
        const int ready = ::poll(&descriptor, 1, static_cast<int>(left.count()));
        if (ready <= 0) {
            wl_display_cancel_read(display_);
            if (ready < 0 && errno != EINTR)
                throw WaylandConnectionLost();
            continue;
        }
        if (wl_display_read_events(display_) < 0)
            throw WaylandConnectionLost();
    }
}

void WaylandSession::roundtrip(std::chrono::milliseconds deadline)
{
    bool answered = false;
    static const wl_callback_listener listener = {
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
    };
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &listener, &answered);
    try {
        dispatchUntil([&] { return answered; }, deadline);
    } catch (...) {
        wl_callback_destroy(callback);
        throw;
    }
    wl_callback_destroy(callback);
}

WaylandConnection::WaylandConnection(Options options) : options_(std::move(options)) {}

WaylandConnection::~WaylandConnection()
{
    drop();
}

std::string WaylandConnection::environmentDisplay()
{
    const char* name = std::getenv("WAYLAND_DISPLAY");
    return name ? name : "";
}

std::string WaylandConnection::displayName() const
{
    const std::string name = environmentDisplay();
    return name.empty() ? "wayland-0" : name;
}

WaylandSession& WaylandConnection::connectedSession()
{
    if (session_) {
        session_->check();
        return *session_;
    }
    const std::string name = displayName();
    wl_display* display = wl_display_connect(name.c_str());
    if (!display)
        throw PlatformError("Wayland", errno, "cannot connect to the Wayland compositor " + name + ": "
                                                  + std::strerror(errno));
    session_ = std::make_unique<WaylandSession>(display, options_.listToplevels);
    session_->start();
    if (options_.onConnect)
        options_.onConnect(*session_);
    return *session_;
}

void WaylandConnection::drop()
{
    if (session_ && options_.onDrop)
        options_.onDrop();
    session_.reset();
}

void WaylandConnection::disconnect()
{
    std::lock_guard lock(mutex_);
    drop();
}

bool WaylandConnection::connected()
{
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}

PlatformError waylandError(const std::string& what)
{
    return PlatformError("Wayland", 0, what);
}
