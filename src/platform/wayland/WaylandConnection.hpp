#pragma once

#include "base/PlatformError.hpp"
#include "platform/wayland/WaylandLayout.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_seat;
struct wl_output;
struct zxdg_output_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct zwlr_foreign_toplevel_handle_v1;
struct org_kde_kwin_fake_input;

// The connection broke (the compositor went away). The owner connects again and runs the
// work once more; nobody above the platform sees this type.
struct WaylandConnectionLost : std::runtime_error {
    WaylandConnectionLost() : std::runtime_error("the connection to the Wayland compositor was lost") {}
};

// The compositor did not answer within a deadline.
struct WaylandNoAnswer : PlatformError {
    using PlatformError::PlatformError;
};

// A toplevel window as foreign-toplevel management lists it: no place, no process.
struct WaylandToplevel {
    std::uint32_t id = 0; // ours, stable for the window's life on this connection
    std::string title;
    std::string appID;
    bool minimized = false;
    bool activated = false;
    std::vector<std::uint32_t> outputs; // ids of the outputs it is shown on
};

// What one live connection knows: the globals the compositor offers, its outputs and (when
// asked for) its toplevel windows, kept current by the events that dispatching delivers.
// Made anew after every reconnect. Everything here runs under the connection's lock.
class WaylandSession {
public:
    // Takes the display over; start() must follow before any other call.
    WaylandSession(wl_display* display, bool listToplevels);
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // Binds the globals and reads what they describe (two round trips).
    void start();

    wl_display* display() const { return display_; }
    wl_shm* shm() const { return shm_; }
    wl_seat* seat() const { return seat_; }
    zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
    zwlr_virtual_pointer_manager_v1* pointerManager() const { return pointerManager_; }
    zwp_virtual_keyboard_manager_v1* keyboardManager() const { return keyboardManager_; }
    // KWin's fake input, which KWin offers only to programs a desktop file trusts; its
    // version (keys need 4).
    org_kde_kwin_fake_input* fakeInput() const { return fakeInput_; }
    std::uint32_t fakeInputVersion() const { return fakeInputVersion_; }
    bool listsToplevels() const { return toplevelManager_ != nullptr; }
    // Whether the seat had a keyboard when it last said (a desktop without any keyboard
    // gains one when we make ours, and its clients take it up some time later).
    bool seatHasKeyboard() const { return seatCapabilities_ & 2; }

    // The outputs as the events received so far describe them, in the order the compositor
    // announced them.
    WaylandLayout layout() const;
    wl_output* output(std::uint32_t id) const;
    // Windows closed since the last call are forgotten.
    std::vector<WaylandToplevel> toplevels();

    // Sends what is queued and waits until the compositor has handled it and every event it
    // sent back has been dispatched. Throws WaylandConnectionLost when the connection broke,
    // WaylandNoAnswer when the compositor does not answer within the deadline.
    void roundtrip(std::chrono::milliseconds deadline = std::chrono::seconds(5));
    // Dispatches events until `done` holds, within the deadline, with the same failures.
    void dispatchUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline);
    // Dispatches events until `done` holds or the time comes; whether it holds. A time that
    // passes is no failure here: the caller was only waiting to see whether events come.
    bool dispatchUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point until);
    // Throws WaylandConnectionLost when the connection has failed.
    void check() const;
    // The process id and user id of the compositor at the other end, or nothing.
    std::optional<std::pair<int, unsigned>> peer() const;

    struct Output;
    struct Toplevel;
    // Registry and window events.
    void announce(wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version);
    void withdraw(std::uint32_t name);
    void adoptToplevel(zwlr_foreign_toplevel_handle_v1* handle);

private:
    void addOutput(std::uint32_t name, std::uint32_t version);
    void watchOutput(Output& output);

    wl_display* display_;
    bool listToplevels_;
    wl_registry* registry_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
    zwlr_screencopy_manager_v1* screencopy_ = nullptr;
    zwlr_virtual_pointer_manager_v1* pointerManager_ = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager_ = nullptr;
    org_kde_kwin_fake_input* fakeInput_ = nullptr;
    std::uint32_t fakeInputVersion_ = 0;
    zwlr_foreign_toplevel_manager_v1* toplevelManager_ = nullptr;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    std::uint32_t nextToplevelID_ = 1;
    std::uint32_t seatCapabilities_ = 0;

public:
    void setSeatCapabilities(std::uint32_t capabilities) { seatCapabilities_ = capabilities; }
};

// The Wayland display named by WAYLAND_DISPLAY (a socket in XDG_RUNTIME_DIR, or a path).
// Opened on first use; when the compositor goes away and comes back, the next call connects
// again. Thread-safe: one call at a time holds the connection.
class WaylandConnection {
public:
    struct Options {
        // Bind foreign-toplevel management and keep its windows.
        bool listToplevels = false;
        // Runs on every new session before any work, under the lock; may throw like work.
        std::function<void(WaylandSession&)> onConnect;
        // Runs before a session ends, under the lock: objects made on it go first.
        std::function<void()> onDrop;
        // A round trip before each work, so that it sees the compositor's latest events. Work
        // that ends in a round trip of its own (input) reads them there and needs none.
        bool refreshBeforeWork = true;
    };

    explicit WaylandConnection(Options options);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    // Runs the work with a live session whose events are current (one round trip first,
    // unless the options say otherwise).
    // If the connection turns out broken, connects again and runs the work once more.
    // Throws PlatformError when no connection can be made, and whatever the work throws.
    template <typename Work> auto run(Work&& work)
    {
        std::unique_lock lock(mutex_, std::defer_lock);
        if (!lock.try_lock_for(lockDeadline))
            throw PlatformError("Wayland", 0, "the Wayland compositor " + displayName() + " does not answer");
        for (int attempt = 0;; ++attempt) {
            try {
                WaylandSession& session = connectedSession();
                if (options_.refreshBeforeWork)
                    session.roundtrip();
                else
                    session.check();
                return work(session);
            } catch (const WaylandConnectionLost&) {
                drop();
                if (attempt > 0)
                    throw PlatformError("Wayland", 0,
                                        "the connection to the Wayland compositor " + displayName() + " was lost");
            } catch (const WaylandNoAnswer&) {
                // A compositor that stopped answering leaves the connection in an unknown
                // state: the next call starts afresh.
                drop();
                throw;
            }
        }
    }

    // Runs the work with the session if one is open, without a round trip and without
    // connecting; a connection found broken is dropped. Nothing when the lock is busy.
    template <typename Work> void ifConnected(Work&& work)
    {
        std::unique_lock lock(mutex_, std::defer_lock);
        if (!lock.try_lock_for(lockDeadline) || !session_)
            return;
        try {
            session_->check();
            work(*session_);
        } catch (const WaylandConnectionLost&) {
            drop();
        }
    }

    // Closes the connection (after onDrop); the next call opens a fresh one.
    void disconnect();
    // Whether a connection is open now.
    bool connected();

    // The display's name as the environment gives it ("wayland-1"), or "" when none is set.
    static std::string environmentDisplay();

private:
    WaylandSession& connectedSession();
    void drop();
    std::string displayName() const;

    static constexpr std::chrono::seconds lockDeadline{10};

    std::timed_mutex mutex_;
    Options options_;
    std::unique_ptr<WaylandSession> session_;
};

// A Wayland failure with the operation that met it.
PlatformError waylandError(const std::string& what);
