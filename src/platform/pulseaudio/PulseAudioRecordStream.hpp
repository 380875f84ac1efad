#pragma once

#include "platform/pulseaudio/PulseAudioConnection.hpp"

#include <pulse/stream.h>
#include <pulse/timeval.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One record stream on the process's PulseAudio connection, shared by the system-audio
// stream and the microphone. Every call is made with the connection's Lock held; every
// handler runs on the loop's thread with the lock held, and none runs after close().
class PulseAudioRecordStream : public std::enable_shared_from_this<PulseAudioRecordStream> {
public:
    struct Request {
        std::string name; // shown by the server's stream list
        std::string device; // a source name
        pa_sample_spec spec;
        std::optional<pa_channel_map> channels;
        // Bytes the server sends at a time (fragmentDuration, usually).
        std::uint32_t fragmentBytes;
        // Whether the server may move the stream to another device when its own goes away
        // (or the user moves it); otherwise the stream fails then.
        bool movable = true;
    };
    struct Handlers {
        // The frames that arrived since the last call, whole frames only; a gap the server
        // reported is filled with silence of its length, so the timeline stays continuous.
        // The handler may take the bytes away. A source that renders in long blocks sends
        // them in one go, so one call may carry seconds.
        std::function<void(std::vector<std::uint8_t>& bytes)> data;
        // Once: the server confirmed the stream, or the error that ended the start.
        std::function<void(std::optional<PlatformError>)> started;
        // At most once, after a confirmed start: the stream failed or the server went away.
        std::function<void(const PlatformError&)> failed;
        // Once, after stop(): the server has ended the stream (or never had it).
        std::function<void()> stopped;
    };

    // What the server sends at a time. Every fragment wakes this process and the recorder:
    // at 20 ms a 48 kHz microphone cost 0.3 CPU-seconds a minute just to receive.
    static constexpr pa_usec_t fragmentDuration = 100 * PA_USEC_PER_MSEC;

    PulseAudioRecordStream(PulseAudioConnection& connection, Request request, Handlers handlers);
    ~PulseAudioRecordStream();

    // Asks for the stream; returns at once. `started` follows on the loop's thread.
    void start(const PulseAudioConnection::Lock&);
    // Ends delivery and asks the server to end the stream; `stopped` follows on the loop's
    // thread. A start still waiting hears that it was stopped.
    void stop(const PulseAudioConnection::Lock&);
    // Forgets the stream at once: no handler runs after this returns. The server side is
    // ended in the background.
    void close(const PulseAudioConnection::Lock&);

    bool running() const { return state_ == State::running; }
    // Never started, stopped, or failed: nothing more will happen.
    bool ended() const { return state_ == State::idle || state_ == State::ended; }

private:
    enum class State { idle, connecting, running, stopping, ended };

    void create(pa_context* context);
    void readAvailable();
    void stateChanged();
    void fail(const PlatformError& error);
    // Runs the work on the loop's thread, unless this stream is gone by then.
    void later(const PulseAudioConnection::Lock& lock, void (*work)(PulseAudioRecordStream&));
    void end();
    static void release(pa_stream* stream);

    PulseAudioConnection& connection_;
    Request request_;
    Handlers handlers_;
    State state_ = State::idle;
    pa_stream* stream_ = nullptr;
    std::vector<std::uint8_t> bytes_;
};
