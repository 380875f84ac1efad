#pragma once

#include "base/PlatformError.hpp"
#include "platform/x11/X11DisplayLayout.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Every xcb reply, event and error is freed with free(): hold each one the moment it arrives.
struct X11Free {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T> using X11Reply = std::unique_ptr<T, X11Free>;

// The connection broke while a request was in flight (the X server went away). The owner
// reconnects and runs the work once more; nobody above the platform sees this type.
struct X11ConnectionLost : std::runtime_error {
    X11ConnectionLost() : std::runtime_error("the connection to the X server was lost") {}
};

// A mapped shared-memory segment attached to the X server, for MIT-SHM GetImage.
struct X11SharedMemory {
    std::uint32_t segment = 0; // the server's id
    int shmid = -1;
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// What one live connection knows: the display, its root, the interned atoms and the
// extensions it offers. Made anew after every reconnect.
struct X11Session {
    // `redirectWindows`: keep every top-level window's contents off screen (Composite), as
    // capture needs; a connection that only posts input leaves the desktop as it is.
    X11Session(xcb_connection_t* connection, int screenNumber, bool redirectWindows = true);
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    xcb_connection_t* connection;
    xcb_screen_t* screen = nullptr;
    xcb_window_t root = 0;

    bool hasRandR = false;
    bool hasShm = false;
    bool hasComposite = false;
    bool hasXFixes = false;
    bool hasXTest = false;
    bool hasXRes = false;
    // The process that made the X server's socket: the X server itself, or the Wayland
    // compositor that opens the socket for its XWayland and starts XWayland on demand (GNOME,
    // KDE Plasma, Weston, wlroots all do). 0 when unknown (a display on another machine).
    int socketOwnerProcessID = 0;
    // The X server is XWayland, the X server of a Wayland desktop, by its own word (the
    // XWAYLAND extension, from XWayland 23.1 on) or by its process's name. Rootless, it shows
    // its own windows and nothing of the desktop around them.
    bool isXWayland = false;
    // Composite keeps every top-level window's contents off screen once redirected, so a
    // covered window can be read whole. Asked once per connection.
    bool compositeRedirected = false;

    // The monitors as RandR last described them (x11DisplayLayout reads them), kept because
    // every picture and every pointer event needs them and reading them costs three round
    // trips. Every session asks for RandR's change notifications, and the connection forgets
    // the layout when one arrives (noteEvent); it reads the events that have arrived before
    // each call, so a call never sees a layout older than the changes the server had
    // reported when the call began.
    std::optional<X11DisplayLayout> displayLayout;
    // Forgets what an event says has changed.
    void noteEvent(const xcb_generic_event_t& event);

    struct Atoms {
        xcb_atom_t netClientListStacking = 0, wmState = 0, netWMName = 0, utf8String = 0, netWMPid = 0,
                   netWMWindowType = 0, netWMWindowTypeDesktop = 0, netWMWindowTypeDock = 0, netWMState = 0,
                   netWMStateAbove = 0, netWMStateBelow = 0;
        // Where applications publish their desktop-file id: GTK's application id, the id
        // Qt and KDE applications publish, and the desktop file's path some launchers set.
        xcb_atom_t gtkApplicationID = 0, kdeDesktopFile = 0, bamfDesktopFile = 0;
    } atoms;

    // A segment at least `bytes` long, grown on demand; nullptr when MIT-SHM cannot be used.
    X11SharedMemory* sharedMemory(std::size_t bytes);
    // Detaches the segment; the next sharedMemory() makes a new one.
    void releaseSharedMemory();

private:
    X11SharedMemory shm_;
    std::optional<std::uint8_t> randrEvent_; // the first event number of RandR
    bool shmFailed_ = false;
};

// What a connection is for, beyond what every session knows.
struct X11ConnectionOptions {
    // The display to open; empty means DISPLAY.
    std::string displayName;
    // See X11Session: capture needs the windows redirected, input does not.
    bool redirectWindows = true;
    // Runs once on every new connection, before any work on it, under the connection's lock.
    // May throw X11ConnectionLost, like work.
    std::function<void(X11Session&)> onConnect;
    // Gets every event that arrives on the connection, under the connection's lock; without
    // it events are dropped after each call.
    std::function<void(const xcb_generic_event_t&)> onEvent;
};

// The process's connection to the X display named by DISPLAY (or the name given). It is
// opened on first use, not at start-up, so the process starts without a display. When the X
// server goes away and comes back, the next call connects again: no restart needed.
// Thread-safe: one call at a time holds the connection.
class X11Connection {
public:
    explicit X11Connection(std::string displayName = {});
    explicit X11Connection(X11ConnectionOptions options);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    // Runs the work with a live session. If the connection turns out to be broken (a server
    // that went away since the last call), connects again and runs the work once more.
    // Throws PlatformError when no connection can be made, and whatever the work throws.
    template <typename Work> auto run(Work&& work)
    {
        // xcb waits for a reply without a deadline, so a frozen X server can hold one caller
        // for ever; the others give up here instead of queueing behind it.
        std::unique_lock lock(mutex_, std::defer_lock);
        if (!lock.try_lock_for(lockDeadline))
            throw PlatformError("X11", 0, "the X server " + describedName() + " does not answer");
        for (int attempt = 0;; ++attempt) {
            try {
                X11Session& session = connectedSession();
                pollEvents();
                DrainEvents drain{*this};
                return work(session);
            } catch (const X11ConnectionLost&) {
                drop();
                if (attempt > 0)
                    throw PlatformError("X11", 0, "the connection to the X server " + describedName() + " was lost");
            }
        }
    }

    // Closes the connection; the next call opens a fresh one.
    void disconnect();

    // Detaches the shared-memory segment that pictures are read through, unless a call is
    // running (then the connection is in use, not idle). Never connects.
    void releaseSharedMemory();

    // Hands the events that have arrived so far to the session (X11Session::noteEvent) and
    // to onEvent (or drops them). For work that must see them before it goes on; run() does
    // it before and after every call anyway.
    void pollEvents();

private:
    // Errors of requests whose replies were read without an error pointer arrive as events;
    // those nobody asked for are dropped after every call lest the queue grow for ever.
    struct DrainEvents {
        X11Connection& owner;
        ~DrainEvents() { owner.pollEvents(); }
    };

    X11Session& connectedSession();
    void drop();
    std::string describedName() const;

    static constexpr std::chrono::seconds lockDeadline{10};

    std::timed_mutex mutex_;
    X11ConnectionOptions options_;
    std::unique_ptr<X11Session> session_;
};

// Reply helpers. `reply` returns nothing when the server answered with an error (a window
// that vanished, say) and throws X11ConnectionLost when the connection broke. `required`
// turns an error answer into a PlatformError naming the request.
template <typename T>
X11Reply<T> x11Reply(xcb_connection_t* connection, T* reply, xcb_generic_error_t* error)
{
    X11Reply<xcb_generic_error_t> heldError(error);
    if (!reply && xcb_connection_has_error(connection))
        throw X11ConnectionLost();
    return X11Reply<T>(reply);
}

PlatformError x11Error(const char* request, const xcb_generic_error_t* error);

template <typename T>
X11Reply<T> x11Required(xcb_connection_t* connection, T* reply, xcb_generic_error_t* error, const char* request)
{
    X11Reply<xcb_generic_error_t> heldError(error);
    if (!reply && xcb_connection_has_error(connection))
        throw X11ConnectionLost();
    if (!reply)
        throw x11Error(request, error);
    return X11Reply<T>(reply);
}

// Checks a request sent with its _checked variant.
void x11Check(xcb_connection_t* connection, xcb_void_cookie_t cookie, const char* request);
