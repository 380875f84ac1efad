#include "platform/pulseaudio/PulseAudioSystemAudio.hpp"

#include "platform/pulseaudio/PulseAudioRecordStream.hpp"

#include <pulse/error.h>
#include <pulse/introspect.h>

#include <chrono>

namespace {

template <typename Handler> Handler take(Handler& handler)
{
    Handler taken = std::move(handler);
    handler = nullptr;
    return taken;
}

// What the computer plays, whichever output plays it: a record stream on the monitor of the
// default output, which the server may never move elsewhere (a stream the server moves when
// its output goes away lands on the microphone). When the default output changes or goes
// away, a stream on the new default's monitor takes over once it delivers: the old output is
// recorded until then, nothing twice, and a gap between the two (an output that was unplugged,
// a monitor that renders in long blocks) is filled with silence of its length, so that the
// recording's timeline stays the clock's. With no output left the stream stops, as a stream
// whose device vanished does.
class PulseAudioSystemStream final : public SystemAudioStream {
public:
    PulseAudioSystemStream(std::shared_ptr<PulseAudioConnection> connection,
                           const AudioStreamConfiguration& configuration, SystemAudio::StopReport didStop)
        : connection_(std::move(connection)),
          format_{static_cast<double>(configuration.sampleRate), configuration.channelCount, SampleType::float32, true},
          didStop_(std::move(didStop))
    {
    }

    ~PulseAudioSystemStream() override
    {
        if (!alive_)
            return; // the server was never asked for anything
        PulseAudioConnection::Lock lock(*connection_);
        alive_.reset();
        if (watch_)
            connection_->unwatchOutputs(lock, *watch_);
        for (auto* stream : {&stream_, &next_})
            if (*stream)
                (*stream)->close(lock);
    }

    void addAudioOutput(SampleHandler handler) override
    {
        PulseAudioConnection::Lock lock(*connection_);
        handler_ = std::move(handler);
    }

    void startCapture(StartCompletion completion) override
    {
        PulseAudioConnection::Lock lock(*connection_);
        if (!alive_)
            alive_ = std::make_shared<bool>();
        if (watch_) {
            later(lock, [completion] {
                completion(PulseAudioConnection::error(PA_ERR_BADSTATE, "the stream was started already"));
            });
            return;
        }
        spec_ = pa_sample_spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(format_.sampleRate),
                               static_cast<std::uint8_t>(format_.channelCount)};
        if (format_.sampleRate < 1 || format_.channelCount < 1
            || format_.channelCount > static_cast<int>(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&spec_)) {
            later(lock, [completion, description = format_.description()] {
                completion(PulseAudioConnection::error(PA_ERR_INVALID, "no stream can record " + description));
            });
            return;
        }
        startCompletion_ = std::move(completion);
        watch_ = connection_->watchOutputs(lock, [this] { followDefaultOutput(); });
        // Handlers run on the loop's thread: the first look at the outputs too.
        later(lock, [this] { followDefaultOutput(); });
    }

    void stopCapture(StopCompletion completion) override
    {
        PulseAudioConnection::Lock lock(*connection_);
        if (!alive_)
            alive_ = std::make_shared<bool>();
        stopping_ = true;
        if (next_) {
            next_->close(lock);
            next_.reset();
        }
        if (auto started = take(startCompletion_))
            later(lock, [started] {
                started(PulseAudioConnection::error(PA_ERR_CONNECTIONTERMINATED, "the stream was stopped before it started"));
            });
        if (!stream_ || stream_->ended()) {
            later(lock, std::move(completion));
            return;
        }
        // A second stop while the server ends the stream hears of the same end.
        stopCompletions_.push_back(std::move(completion));
        stream_->stop(lock);
    }

private:
    // Runs the work later on the loop's thread unless this stream is gone by then.
    void later(const PulseAudioConnection::Lock& lock, std::function<void()> work)
    {
        connection_->post(lock, [alive = std::weak_ptr<bool>(alive_), work = std::move(work)] {
            if (alive.lock())
                work();
        });
    }

    // On the loop's thread: finds the default output's monitor and records it, unless it is
    // recorded already.
    void followDefaultOutput()
    {
        if (stopping_ || gaveUp_)
            return;
        if (looking_) {
            lookAgain_ = true;
            return;
        }
        looking_ = true;
        PulseAudioConnection::Lock lock(*connection_);
        connection_->whenReady(lock, [this, alive = std::weak_ptr<bool>(alive_)](
                                         pa_context* context, const std::optional<PlatformError>& error) {
            if (!alive.lock())
                return;
            if (error) {
                found(std::nullopt, *error);
                return;
            }
            askForDefaultMonitor(context);
        });
    }

    void askForDefaultMonitor(pa_context* context)
    {
        struct Question {
            PulseAudioSystemStream* self;
            std::weak_ptr<bool> alive;
            bool answered = false;
        };
        auto* question = new Question{this, alive_};
        const auto answer = [](pa_context* context, const pa_sink_info* info, int end, void* data) {
            auto* question = static_cast<Question*>(data);
            const bool alive = static_cast<bool>(question->alive.lock());
            if (end == 0 && info) {
                if (alive && !question->answered) {
                    question->answered = true;
                    if (info->monitor_source_name && *info->monitor_source_name)
                        question->self->found(std::string(info->monitor_source_name), std::nullopt);
                    else
                        question->self->found(std::nullopt, PulseAudioConnection::error(PA_ERR_NOENTITY,
                                                                                          "the default output has no monitor"));
                }
                return; // the list's end follows
            }
            if (alive && !question->answered)
                question->self->found(std::nullopt, end < 0 ? PulseAudioConnection::error(context)
                                                            : PulseAudioConnection::error(PA_ERR_NOENTITY, "no output"));
            delete question;
        };
        pa_operation* operation = pa_context_get_sink_info_by_name(context, "@DEFAULT_SINK@", answer, question);
        if (!operation) {
            delete question;
            found(std::nullopt, PulseAudioConnection::error(context));
            return;
        }
        pa_operation_unref(operation);
    }

    // The default output's monitor, or why there is none.
    void found(const std::optional<std::string>& monitor, const std::optional<PlatformError>& error)
    {
        looking_ = false;
        if (stopping_ || gaveUp_)
            return;
        const bool recording = stream_ && !stream_->ended();
        if (monitor)
            unanswered_ = 0;
        if (monitor && !(recording && *monitor == device_) && !(next_ && *monitor == nextDevice_))
            record(*monitor);
        else if (!monitor && !recording && !next_)
            noOutputFound(error.value_or(PulseAudioConnection::error(PA_ERR_NOENTITY, "no output")));
        if (lookAgain_) {
            lookAgain_ = false;
            followDefaultOutput();
        }
    }

    void record(const std::string& monitor)
    {
        PulseAudioConnection::Lock lock(*connection_);
        if (next_)
            next_->close(lock);
        const std::uint64_t generation = ++generations_;
        PulseAudioRecordStream::Request request{
            "system audio", monitor, spec_, std::nullopt,
            static_cast<std::uint32_t>(pa_usec_to_bytes(PulseAudioRecordStream::fragmentDuration, &spec_))};
        request.movable = false;
        PulseAudioRecordStream::Handlers handlers;
        // The streams live inside this object and are closed by its destructor, so no
        // handler outlives `this`.
        handlers.data = [this, generation](std::vector<std::uint8_t>& bytes) {
            if (generation == nextGeneration_ && next_ && next_->running())
                takeOver();
            if (generation == recording_)
                deliver(bytes);
        };
        handlers.started = [this, generation](std::optional<PlatformError> error) {
            started(generation, std::move(error));
        };
        handlers.failed = [this, generation](const PlatformError& error) {
            if (generation == nextGeneration_ && next_) {
                // Its output went away before it delivered anything.
                started(generation, error);
                return;
            }
            if (generation != recording_)
                return;
            // Its output went away: whatever is the default now takes over, or nothing does.
            lastError_ = error;
            followDefaultOutput();
        };
        handlers.stopped = [this, generation] {
            if (generation != recording_)
                return;
            auto completions = std::move(stopCompletions_);
            stopCompletions_.clear();
            for (auto& completion : completions)
                completion();
        };
        next_ = std::make_shared<PulseAudioRecordStream>(*connection_, std::move(request), std::move(handlers));
        nextDevice_ = monitor;
        nextGeneration_ = generation;
        next_->start(lock);
    }

    void started(std::uint64_t generation, std::optional<PlatformError> error)
    {
        if (generation != nextGeneration_ || !next_)
            return;
        PulseAudioConnection::Lock lock(*connection_);
        if (error) {
            next_->close(lock);
            next_.reset();
            if (!stream_ || stream_->ended())
                giveUp(*error);
            return;
        }
        // The first stream delivers from now on; a later one once it has something, while
        // the old one goes on recording the old output until then.
        if (!stream_)
            takeOver();
    }

    void takeOver()
    {
        PulseAudioConnection::Lock lock(*connection_);
        if (stream_)
            stream_->close(lock);
        stream_ = std::move(next_);
        device_ = nextDevice_;
        recording_ = nextGeneration_;
        lastError_.reset();
        if (auto completion = take(startCompletion_))
            completion(std::nullopt);
    }

    // Right after an output goes away the server may have chosen no new default yet: it is
    // asked again for a second before the stream gives up.
    void noOutputFound(const PlatformError& error)
    {
        constexpr int askings = 5;
        if (++unanswered_ >= askings) {
            giveUp(error);
            return;
        }
        PulseAudioConnection::Lock lock(*connection_);
        connection_->postAfter(lock, std::chrono::milliseconds(200), [this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock())
                followDefaultOutput();
        });
    }

    // No output to record: the start fails, or the running stream reports its stop.
    void giveUp(const PlatformError& error)
    {
        gaveUp_ = true;
        const PlatformError reason = lastError_ ? *lastError_ : error;
        if (auto completion = take(startCompletion_)) {
            completion(error);
            return;
        }
        if (auto report = take(didStop_))
            report(reason);
    }

    void deliver(std::vector<std::uint8_t>& bytes)
    {
        if (!handler_)
            return;
        const auto now = std::chrono::steady_clock::now();
        const auto frames = static_cast<std::int64_t>(bytes.size() / format_.bytesPerFrame());
        const auto covered = std::chrono::microseconds(frames * 1000000 / static_cast<std::int64_t>(format_.sampleRate));
        // What was not heard between the last delivery and this one's start, beyond the
        // fragment a delivery may be late by.
        if (deliveredUntil_) {
            const auto missing = now - covered - *deliveredUntil_;
            if (missing > 2 * std::chrono::microseconds(PulseAudioRecordStream::fragmentDuration)
                && missing < std::chrono::seconds(10)) {
                const auto silentFrames = static_cast<std::int64_t>(
                    std::chrono::duration<double>(missing).count() * format_.sampleRate);
                AudioBuffer silence;
                silence.format = format_;
                silence.frameLength = silentFrames;
                silence.planes.emplace_back(static_cast<std::size_t>(silentFrames) * format_.bytesPerFrame(), 0);
                handler_(std::move(silence));
            }
        }
        deliveredUntil_ = now;
        AudioBuffer buffer;
        buffer.format = format_;
        buffer.frameLength = frames;
        buffer.planes.push_back(std::move(bytes));
        handler_(std::move(buffer));
    }

    std::shared_ptr<PulseAudioConnection> connection_;
    const AudioFormat format_;
    // Under the connection's lock from here on.
    pa_sample_spec spec_{};
    SystemAudio::StopReport didStop_;
    SampleHandler handler_;
    StartCompletion startCompletion_;
    std::vector<StopCompletion> stopCompletions_;
    std::optional<int> watch_;
    // The stream that delivers, on the monitor `device_`, and the one starting on a new
    // default output's monitor, which replaces it once the server confirms it.
    std::shared_ptr<PulseAudioRecordStream> stream_;
    std::string device_;
    std::shared_ptr<PulseAudioRecordStream> next_;
    std::string nextDevice_;
    std::uint64_t generations_ = 0;
    std::uint64_t nextGeneration_ = 0;
    std::uint64_t recording_ = 0;
    bool looking_ = false;
    int unanswered_ = 0;
    bool lookAgain_ = false;
    bool stopping_ = false;
    bool gaveUp_ = false;
    // When the last delivery ended, as this process saw it.
    std::optional<std::chrono::steady_clock::time_point> deliveredUntil_;
    // Why the last stream ended, which is what a stop report says.
    std::optional<PlatformError> lastError_;
    // Set once the server was asked for something; gone when the destructor runs, so a
    // completion posted earlier does nothing.
    std::shared_ptr<bool> alive_;
};

}

std::unique_ptr<SystemAudioStream> PulseAudioSystemAudio::makeStream(const ContentFilter&,
                                                                     const AudioStreamConfiguration& configuration,
                                                                     StopReport didStop)
{
    return std::make_unique<PulseAudioSystemStream>(connection_, configuration, std::move(didStop));
}
