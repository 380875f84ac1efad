#include "platform/pulseaudio/PulseAudioRecordStream.hpp"

#include <pulse/error.h>

#include <cassert>

namespace {

template <typename Handler> Handler take(Handler& handler)
{
    Handler taken = std::move(handler);
    handler = nullptr;
    return taken;
}

// libpulse calls back through C: nothing may be thrown across it.
template <typename Work> void guarded(Work&& work)
{
    try {
        work();
    } catch (...) {
    }
}

PlatformError streamError(pa_stream* stream)
{
    const int code = pa_context_errno(pa_stream_get_context(stream));
    // A stream ended with the context carries no code of its own.
    return PulseAudioConnection::error(code == PA_OK ? PA_ERR_CONNECTIONTERMINATED : code);
}

// A stream forgotten while the server was still making it: end it once it exists, then let go.
void onOrphanState(pa_stream* stream, void*)
{
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        pa_stream_disconnect(stream);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        break;
    default:
        break;
    }
}

}

PulseAudioRecordStream::PulseAudioRecordStream(PulseAudioConnection& connection, Request request, Handlers handlers)
    : connection_(connection),
      request_(std::move(request)),
      handlers_(std::move(handlers))
{
}

PulseAudioRecordStream::~PulseAudioRecordStream()
{
    // The owner closes under the lock before letting go.
    assert(!stream_);
}

void PulseAudioRecordStream::start(const PulseAudioConnection::Lock& lock)
{
    if (state_ != State::idle)
        return;
    state_ = State::connecting;
    // Even when the context is ready, the stream is asked for on the loop's thread: every
    // handler, the failures of an early step included, runs there and never on the caller's.
    connection_.post(lock, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->state_ != State::connecting)
            return;
        PulseAudioConnection::Lock held(self->connection_);
        self->connection_.whenReady(held, [weak](pa_context* context, const std::optional<PlatformError>& error) {
            auto self = weak.lock();
            if (!self || self->state_ != State::connecting)
                return;
            if (error) {
                self->end();
                if (auto started = take(self->handlers_.started))
                    started(error);
                return;
            }
            self->create(context);
        });
    });
}

void PulseAudioRecordStream::create(pa_context* context)
{
    stream_ = pa_stream_new(context, request_.name.c_str(), &request_.spec,
                            request_.channels ? &*request_.channels : nullptr);
    if (!stream_) {
        fail(PulseAudioConnection::error(context));
        return;
    }
    pa_stream_set_state_callback(
        stream_,
        [](pa_stream*, void* self) { guarded([&] { static_cast<PulseAudioRecordStream*>(self)->stateChanged(); }); },
        this);
    pa_stream_set_read_callback(
        stream_,
        [](pa_stream*, size_t, void* self) {
            guarded([&] { static_cast<PulseAudioRecordStream*>(self)->readAvailable(); });
        },
        this);
    // The server sends a fragment at a time; adjusting the source's latency to it keeps a
    // monitor of an idle sink from delivering in bursts of seconds.
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = request_.fragmentBytes;
    const auto flags
        = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | (request_.movable ? 0 : PA_STREAM_DONT_MOVE));
    if (pa_stream_connect_record(stream_, request_.device.c_str(), &attributes, flags) < 0)
        fail(PulseAudioConnection::error(context));
}

void PulseAudioRecordStream::fail(const PlatformError& error)
{
    const State was = state_;
    end();
    if (was == State::connecting) {
        if (auto started = take(handlers_.started))
            started(error);
    } else if (was == State::running) {
        if (auto failed = take(handlers_.failed))
            failed(error);
    } else if (was == State::stopping) {
        if (auto stopped = take(handlers_.stopped))
            stopped();
    }
}

void PulseAudioRecordStream::stateChanged()
{
    // A handler may drop the owner's reference.
    auto self = shared_from_this();
    switch (pa_stream_get_state(stream_)) {
    case PA_STREAM_READY:
        if (state_ == State::connecting) {
            state_ = State::running;
            if (auto started = take(handlers_.started))
                started(std::nullopt);
        } else if (state_ == State::stopping) {
            // Stopped while the server was still making it.
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            if (pa_stream_disconnect(stream_) < 0)
                fail(streamError(stream_));
        }
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        fail(streamError(stream_));
        break;
    default:
        break;
    }
    connection_.signal();
}

void PulseAudioRecordStream::readAvailable()
{
    auto self = shared_from_this();
    const std::size_t readable = pa_stream_readable_size(stream_);
    if (readable == static_cast<std::size_t>(-1))
        return;
    bytes_.clear();
    bytes_.reserve(readable);
    for (;;) {
        const void* data = nullptr;
        std::size_t size = 0;
        if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0)
            break;
        if (data)
            bytes_.insert(bytes_.end(), static_cast<const std::uint8_t*>(data),
                          static_cast<const std::uint8_t*>(data) + size);
        else
            bytes_.resize(bytes_.size() + size, 0);
        pa_stream_drop(stream_);
    }
    // The server sends whole frames; a stray tail would shift every later frame.
    bytes_.resize(bytes_.size() - bytes_.size() % pa_frame_size(&request_.spec));
    if (!bytes_.empty() && handlers_.data)
        handlers_.data(bytes_);
}

void PulseAudioRecordStream::stop(const PulseAudioConnection::Lock& lock)
{
    if (state_ == State::stopping)
        return;
    handlers_.data = nullptr;
    if (state_ == State::connecting)
        later(lock, [](PulseAudioRecordStream& self) {
            if (auto started = take(self.handlers_.started))
                started(PulseAudioConnection::error(PA_ERR_CONNECTIONTERMINATED,
                                                    "the stream was stopped before it started"));
        });
    const pa_stream_state_t serverState = stream_ ? pa_stream_get_state(stream_) : PA_STREAM_UNCONNECTED;
    // A stream the server is still making is ended once it exists (stateChanged); a running
    // one once the server confirms.
    if (serverState == PA_STREAM_CREATING || (serverState == PA_STREAM_READY && pa_stream_disconnect(stream_) == 0)) {
        state_ = State::stopping;
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        return;
    }
    // Nothing to end on the server's side.
    end();
    later(lock, [](PulseAudioRecordStream& self) {
        if (auto stopped = take(self.handlers_.stopped))
            stopped();
    });
}

void PulseAudioRecordStream::later(const PulseAudioConnection::Lock& lock, void (*work)(PulseAudioRecordStream&))
{
    connection_.post(lock, [weak = weak_from_this(), work] {
        if (auto self = weak.lock())
            work(*self);
    });
}

void PulseAudioRecordStream::close(const PulseAudioConnection::Lock&)
{
    handlers_ = Handlers{};
    end();
}

void PulseAudioRecordStream::end()
{
    state_ = State::ended;
    if (stream_)
        release(stream_);
    stream_ = nullptr;
}

void PulseAudioRecordStream::release(pa_stream* stream)
{
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_CREATING:
        pa_stream_set_state_callback(stream, onOrphanState, nullptr);
        return; // onOrphanState lets go of the reference
    case PA_STREAM_READY:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        break;
    default:
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        break;
    }
    pa_stream_unref(stream);
}
