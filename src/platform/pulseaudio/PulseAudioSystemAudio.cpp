#include "platform/pulseaudio/PulseAudioSystemAudio.hpp"

#include "platform/pulseaudio/PulseAudioRecordStream.hpp"

#include <pulse/error.h>

namespace {

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
        if (stream_)
            stream_->close(lock);
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
        if (stream_) {
            later(lock, [completion] {
                completion(PulseAudioConnection::error(PA_ERR_BADSTATE, "the stream was started already"));
            });
            return;
        }
        pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(format_.sampleRate),
                            static_cast<std::uint8_t>(format_.channelCount)};
        if (format_.sampleRate < 1 || format_.channelCount < 1
            || format_.channelCount > static_cast<int>(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&spec)) {
            later(lock, [completion, description = format_.description()] {
                completion(PulseAudioConnection::error(PA_ERR_INVALID, "no stream can record " + description));
            });
            return;
        }
        PulseAudioRecordStream::Request request{
            "system audio", PulseAudioRecordStream::defaultMonitor, spec, std::nullopt,
            static_cast<std::uint32_t>(pa_usec_to_bytes(PulseAudioRecordStream::fragmentDuration, &spec))};
        PulseAudioRecordStream::Handlers handlers;
        // The stream lives inside this object and is closed by its destructor, so no handler
        // outlives `this`.
        handlers.data = [this](std::vector<std::uint8_t>& bytes) { deliver(bytes); };
        handlers.started = std::move(completion);
        handlers.failed = [this](const PlatformError& error) {
            if (auto report = std::move(didStop_))
                report(error);
            didStop_ = nullptr;
        };
        handlers.stopped = [this] {
            auto completions = std::move(stopCompletions_);
            stopCompletions_.clear();
            for (auto& completion : completions)
                completion();
        };
        stream_ = std::make_shared<PulseAudioRecordStream>(*connection_, std::move(request), std::move(handlers));
        stream_->start(lock);
    }

    void stopCapture(StopCompletion completion) override
    {
        PulseAudioConnection::Lock lock(*connection_);
        if (!alive_)
            alive_ = std::make_shared<bool>();
        if (!stream_ || stream_->ended()) {
            later(lock, std::move(completion));
            return;
        }
        // A second stop while the server ends the stream hears of the same end.
        stopCompletions_.push_back(std::move(completion));
        stream_->stop(lock);
    }

private:
    // Runs the completion on the loop's thread unless this stream is gone by then.
    void later(const PulseAudioConnection::Lock& lock, std::function<void()> completion)
    {
        connection_->post(lock, [alive = std::weak_ptr<bool>(alive_), completion = std::move(completion)] {
            if (alive.lock())
                completion();
        });
    }

    void deliver(std::vector<std::uint8_t>& bytes)
    {
        if (!handler_)
            return;
        AudioBuffer buffer;
        buffer.format = format_;
        buffer.frameLength = static_cast<std::int64_t>(bytes.size() / format_.bytesPerFrame());
        buffer.planes.push_back(std::move(bytes));
        handler_(std::move(buffer));
    }

    std::shared_ptr<PulseAudioConnection> connection_;
    const AudioFormat format_;
    // Under the connection's lock.
    SystemAudio::StopReport didStop_;
    SampleHandler handler_;
    std::vector<StopCompletion> stopCompletions_;
    std::shared_ptr<PulseAudioRecordStream> stream_;
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
