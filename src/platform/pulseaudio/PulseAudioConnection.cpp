#include "platform/pulseaudio/PulseAudioConnection.hpp"

#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/rtclock.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <memory>

namespace {

pa_usec_t microseconds(std::chrono::steady_clock::duration duration)
{
    return static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
}

// Runs and frees a job handed to the loop by post() or postAfter().
void runPosted(void* data)
{
    std::unique_ptr<std::function<void()>> job(static_cast<std::function<void()>*>(data));
    // Nothing may be thrown back into libpulse.
    try {
        (*job)();
    } catch (...) {
    }
}

}

PulseAudioConnection::Lock::Lock(PulseAudioConnection& connection) : connection_(connection)
{
    connection_.start();
    if (!connection_.onLoopThread()) {
        pa_threaded_mainloop_lock(connection_.loop_);
        locked_ = true;
    }
}

PulseAudioConnection::Lock::~Lock()
{
    if (locked_)
        pa_threaded_mainloop_unlock(connection_.loop_);
}

PulseAudioConnection::PulseAudioConnection() : loop_(pa_threaded_mainloop_new()) {}

PulseAudioConnection::~PulseAudioConnection()
{
    if (!loop_)
        return;
    if (running_) {
        pa_threaded_mainloop_lock(loop_);
        if (connectTimer_)
            pa_threaded_mainloop_get_api(loop_)->time_free(connectTimer_);
        connectTimer_ = nullptr;
        waiting_.clear();
        dropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
    }
    pa_threaded_mainloop_free(loop_);
}

void PulseAudioConnection::start()
{
    std::call_once(started_, [this] {
        if (!loop_)
            throw error(PA_ERR_INTERNAL, "the PulseAudio main loop could not be made");
        pa_threaded_mainloop_set_name(loop_, "pulseaudio");
        if (pa_threaded_mainloop_start(loop_) < 0)
            throw error(PA_ERR_INTERNAL, "the PulseAudio main loop did not start");
        running_ = true;
    });
}

bool PulseAudioConnection::onLoopThread() const { return running_ && pa_threaded_mainloop_in_thread(loop_); }

void PulseAudioConnection::whenReady(const Lock&, ReadyHandler handler)
{
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) {
        handler(context_, std::nullopt);
        return;
    }
    waiting_.push_back(std::move(handler));
    if (!connecting_)
        connect();
}

pa_context* PulseAudioConnection::readyContext(const Lock& lock, Deadline deadline)
{
    // Shared with the handler, which may run after this caller gave up.
    struct Outcome {
        bool done = false;
        pa_context* context = nullptr;
        std::optional<PlatformError> error;
    };
    for (;;) {
        auto outcome = std::make_shared<Outcome>();
        whenReady(lock, [outcome](pa_context* context, const std::optional<PlatformError>& error) {
            *outcome = Outcome{true, context, error};
        });
        const auto answered = [&] { return outcome->done; };
        if (!waitUntil(lock, answered, deadline))
            throw error(PA_ERR_TIMEOUT, "the PulseAudio server did not answer in time");
        if (!outcome->error)
            return outcome->context;
        // This caller may have joined an attempt that was about to give up: while its own
        // time lasts, it tries once more.
        if (outcome->error->code != PA_ERR_TIMEOUT || std::chrono::steady_clock::now() >= deadline)
            throw *outcome->error;
    }
}

void PulseAudioConnection::connect()
{
    dropContext();
    connecting_ = true;
    timedOut_ = false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Velmar Computer Use");
    if (!context_) {
        finishConnecting(nullptr, error(PA_ERR_INTERNAL, "a PulseAudio context could not be made"));
        return;
    }
    pa_context_set_state_callback(context_, onContextState, this);
    // Never start a server of our own: the user's session owns it.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        finishConnecting(nullptr, error(context_));
        return;
    }
    // The handshake has no deadline of its own: a server that accepts the socket and then
    // hangs would keep the context connecting for ever.
    if (connecting_)
        connectTimer_
            = pa_context_rttime_new(context_, pa_rtclock_now() + microseconds(connectTimeout), onConnectTimeout, this);
}

void PulseAudioConnection::dropContext()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
        pa_context_disconnect(context_);
    // Streams made on it hold their own references and fail on their own.
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseAudioConnection::finishConnecting(pa_context* ready, const std::optional<PlatformError>& error)
{
    if (!connecting_)
        return;
    connecting_ = false;
    if (connectTimer_) {
        pa_threaded_mainloop_get_api(loop_)->time_free(connectTimer_);
        connectTimer_ = nullptr;
    }
    // A handler may ask for the context again and so add to the list.
    auto handlers = std::move(waiting_);
    waiting_.clear();
    for (auto& handler : handlers) {
        try {
            handler(ready, error);
        } catch (...) {
            // Nothing may be thrown back into libpulse.
        }
    }
    signal();
}

void PulseAudioConnection::onContextState(pa_context* context, void* self)
{
    auto& connection = *static_cast<PulseAudioConnection*>(self);
    if (context != connection.context_)
        return;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        // Changes of outputs are asked for on every connection: they cost nothing until an
        // output changes, and a recording that starts later needs no round trip for them.
        pa_context_set_subscribe_callback(context, onServerEvent, &connection);
        if (pa_operation* operation = pa_context_subscribe(
                context, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr))
            pa_operation_unref(operation);
        connection.finishConnecting(context, std::nullopt);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        connection.finishConnecting(nullptr,
                                    connection.timedOut_
                                        ? error(PA_ERR_TIMEOUT, "the PulseAudio server did not answer within 5 s")
                                        : error(context));
        break;
    default:
        break;
    }
}

void PulseAudioConnection::onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
{
    auto& connection = *static_cast<PulseAudioConnection*>(self);
    connection.timedOut_ = true;
    // Ends the attempt: the state turns to terminated and the waiting handlers hear of it.
    pa_context_disconnect(connection.context_);
}

bool PulseAudioConnection::waitUntil(const Lock&, const std::function<bool()>& done, Deadline deadline)
{
    if (onLoopThread())
        throw error(PA_ERR_BADSTATE, "a PulseAudio call cannot wait on the PulseAudio thread");
    struct Alarm {
        pa_threaded_mainloop* loop;
        bool rang = false;
    } alarm{loop_};
    const auto ring = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
        auto& alarm = *static_cast<Alarm*>(data);
        alarm.rang = true;
        pa_threaded_mainloop_signal(alarm.loop, 0);
    };
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* timer = nullptr;
    bool holds = done();
    while (!holds) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            break;
        if (alarm.rang) {
            api->time_free(timer);
            timer = nullptr;
            alarm.rang = false;
        }
        if (!timer) {
            // The loop wakes this waiter at the deadline; the monotonic clock when a context
            // exists to read it through, the wall clock otherwise.
            if (context_) {
                timer = pa_context_rttime_new(context_, pa_rtclock_now() + microseconds(left), ring, &alarm);
            } else {
                struct timeval at;
                pa_timeval_add(pa_gettimeofday(&at), microseconds(left));
                timer = api->time_new(api, &at, ring, &alarm);
            }
        }
        pa_threaded_mainloop_wait(loop_);
        holds = done();
    }
    if (timer)
        api->time_free(timer);
    return holds;
}

void PulseAudioConnection::signal() { pa_threaded_mainloop_signal(loop_, 0); }

void PulseAudioConnection::post(const Lock&, std::function<void()> work)
{
    pa_mainloop_api_once(
        pa_threaded_mainloop_get_api(loop_), [](pa_mainloop_api*, void* data) { runPosted(data); },
        new std::function<void()>(std::move(work)));
}

bool PulseAudioConnection::finish(const Lock& lock, pa_operation* operation, Deadline deadline)
{
    if (!operation)
        return false;
    pa_operation_set_state_callback(
        operation,
        [](pa_operation*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
        loop_);
    const bool ended = waitUntil(
        lock, [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, deadline);
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    const bool done = ended && pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (!ended)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

PlatformError PulseAudioConnection::error(pa_context* context)
{
    return error(context ? pa_context_errno(context) : PA_ERR_INTERNAL);
}

PlatformError PulseAudioConnection::error(int code, const std::string& description)
{
    return PlatformError("PulseAudio", code, description.empty() ? std::string(pa_strerror(code)) : description);
}

int PulseAudioConnection::watchOutputs(const Lock&, OutputsChanged handler)
{
    outputWatchers_.emplace(++lastWatcher_, std::move(handler));
    return lastWatcher_;
}

void PulseAudioConnection::unwatchOutputs(const Lock&, int handle)
{
    outputWatchers_.erase(handle);
}

void PulseAudioConnection::onServerEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t,
                                         void* self)
{
    auto& connection = *static_cast<PulseAudioConnection*>(self);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (context != connection.context_
        || (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SERVER))
        return;
    // A handler may stop watching, or start another watch.
    const auto watchers = connection.outputWatchers_;
    for (const auto& [handle, handler] : watchers) {
        if (!connection.outputWatchers_.contains(handle))
            continue;
        try {
            handler();
        } catch (...) {
            // Nothing may be thrown back into libpulse.
        }
    }
}

void PulseAudioConnection::postAfter(const Lock&, std::chrono::milliseconds delay, std::function<void()> work)
{
    auto* job = new std::function<void()>(std::move(work));
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    struct timeval at;
    pa_timeval_add(pa_gettimeofday(&at), static_cast<pa_usec_t>(delay.count()) * PA_USEC_PER_MSEC);
    const auto ring = [](pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data) {
        api->time_free(event);
        runPosted(data);
    };
    if (!api->time_new(api, &at, ring, job))
        delete job;
}
