#pragma once

#include "base/PlatformError.hpp"

#include <pulse/context.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

// The process's one connection to the PulseAudio server: a threaded main loop, started on
// first use, with one context on it, connected on first use and connected anew once the
// server went away (a server that restarts needs no restart of ours). An idle connection
// arms no timer, so it costs nothing while nobody records.
//
// Everything that touches libpulse holds a Lock; libpulse's callbacks run on the loop's
// thread with the lock already held, so the state they share with callers needs no other
// guard. Nothing outside the PulseAudio classes takes this lock.
class PulseAudioConnection {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    // Called with the ready context, or with nullptr and the error that ended the attempt.
    using ReadyHandler = std::function<void(pa_context*, const std::optional<PlatformError>&)>;

    // Holds the loop's lock, starting the loop first if needed; on the loop's own thread
    // (inside a callback) the lock is held already and nothing is taken. Throws
    // PlatformError when the loop cannot start.
    class Lock {
    public:
        explicit Lock(PulseAudioConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        PulseAudioConnection& connection_;
        bool locked_ = false;
    };

    PulseAudioConnection();
    ~PulseAudioConnection();
    PulseAudioConnection(const PulseAudioConnection&) = delete;
    PulseAudioConnection& operator=(const PulseAudioConnection&) = delete;

    // Runs the handler with the ready context: at once when it is ready, otherwise on the
    // loop's thread once a connection attempt has ended (an attempt gives up after
    // connectTimeout).
    void whenReady(const Lock&, ReadyHandler handler);
    // The ready context, connecting if needed. Blocks until the deadline at most; never on
    // the loop's thread. Throws PlatformError.
    pa_context* readyContext(const Lock&, Deadline deadline);
    // Waits (the lock released meanwhile) until done() holds or the deadline passes; true
    // when done() holds. Whoever changes what done() reads calls signal(). Never on the
    // loop's thread: that would wait for itself.
    bool waitUntil(const Lock&, const std::function<bool()>& done, Deadline deadline);
    // Wakes every waitUntil to look again.
    void signal();
    // Runs the work later on the loop's thread, with the lock held.
    void post(const Lock&, std::function<void()> work);
    // The same, once the delay has passed.
    void postAfter(const Lock&, std::chrono::milliseconds delay, std::function<void()> work);
    // Runs the operation's callbacks until it is done or the deadline passes; a late
    // operation is cancelled, so its callback never runs after this returns. Takes the
    // operation's reference. False when it did not complete.
    bool finish(const Lock&, pa_operation* operation, Deadline deadline);

    bool onLoopThread() const;

    // Runs the handler on the loop's thread, lock held, whenever the server's outputs or its
    // default devices change (an output added or removed, another one chosen), on this
    // connection and on every later one. The handle is for unwatchOutputs.
    using OutputsChanged = std::function<void()>;
    int watchOutputs(const Lock&, OutputsChanged handler);
    void unwatchOutputs(const Lock&, int handle);

    // A failure of the context in the system's terms.
    static PlatformError error(pa_context* context);
    static PlatformError error(int code, const std::string& description = {});

    static constexpr std::chrono::seconds connectTimeout{5};

private:
    void start();
    void connect();
    void dropContext();
    void finishConnecting(pa_context* ready, const std::optional<PlatformError>& error);
    static void onContextState(pa_context* context, void* self);
    static void onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    static void onServerEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    std::once_flag started_;
    bool running_ = false;
    // Under the loop's lock from here on.
    pa_context* context_ = nullptr;
    pa_time_event* connectTimer_ = nullptr;
    bool connecting_ = false;
    bool timedOut_ = false;
    std::vector<ReadyHandler> waiting_;
    std::map<int, OutputsChanged> outputWatchers_;
    int lastWatcher_ = 0;
};
