#pragma once

#include "platform/Audio.hpp"
#include "platform/pulseaudio/PulseAudioConnection.hpp"

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <memory>
#include <optional>
#include <string>

class PulseAudioRecordStream;

// The microphone: a record stream on the default source, in the source's own sample format
// so the server converts nothing. A default source that is the monitor of a sink (what the
// server falls back to without an input device) is no microphone.
class PulseAudioEngine final : public AudioEngine {
public:
    explicit PulseAudioEngine(std::shared_ptr<PulseAudioConnection> connection) : connection_(std::move(connection)) {}
    ~PulseAudioEngine() override;

    AudioFormat inputFormat() override;
    void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) override;
    void removeTap() override;
    void start(StopReport stopped) override;
    void stop() override;

    // How long inputFormat() and start() wait for the server.
    static constexpr std::chrono::seconds answerTimeout{5};

private:
    struct Source {
        std::string name;
        pa_sample_spec spec;
        pa_channel_map channels;
    };

    // The default source, or nothing when there is none or it is a monitor. Throws
    // PlatformError when the server does not answer.
    std::optional<Source> defaultSource(const PulseAudioConnection::Lock& lock,
                                        PulseAudioConnection::Deadline deadline);
    void deliver(std::vector<std::uint8_t>& bytes);

    std::shared_ptr<PulseAudioConnection> connection_;
    // Under the connection's lock.
    std::optional<Source> source_;
    std::uint32_t bufferFrames_ = 1024;
    AudioFormat tapFormat_;
    TapBlock tap_;
    StopReport stopped_;
    std::shared_ptr<PulseAudioRecordStream> stream_;
    // Handed to the tap; its memory is reused from buffer to buffer.
    AudioBuffer buffer_;
};

// The sample type this system stores a PulseAudio sample format in, and back. Formats
// without an equivalent (A-law, mu-law) are asked for as 16-bit.
SampleType sampleTypeOf(pa_sample_format_t format);
std::optional<pa_sample_format_t> pulseAudioFormatOf(SampleType type);
