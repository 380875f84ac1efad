#pragma once

#include "base/PlatformError.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The audio framework: formats and buffers of samples, converters between formats, the
// default input device (the microphone) and the writer of compressed audio files.

// How one sample is stored, in the machine's byte order.
enum class SampleType {
    unsigned8,
    signed16,
    signed24,     // three bytes
    signed24In32, // the low three bytes of four
    signed32,
    float32,
    float64,
};

// A PCM format. Interleaved buffers hold one plane with the channels of each frame side
// by side; non-interleaved buffers hold one plane per channel.
struct AudioFormat {
    double sampleRate = 0;
    int channelCount = 0;
    SampleType sampleType = SampleType::float32;
    bool interleaved = true;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

    // The platform's one-line rendering, for messages: "2 ch, 48000 Hz, Float32, interleaved".
    std::string description() const
    {
        static constexpr const char* names[] = {"UInt8", "Int16", "Int24", "Int24in32", "Int32", "Float32", "Float64"};
        std::string text = std::to_string(channelCount) + " ch, ";
        const double whole = static_cast<double>(static_cast<long long>(sampleRate));
        text += whole == sampleRate ? std::to_string(static_cast<long long>(sampleRate)) : std::to_string(sampleRate);
        text += " Hz, ";
        text += names[static_cast<int>(sampleType)];
        text += interleaved ? ", interleaved" : ", deinterleaved";
        return text;
    }
    std::size_t bytesPerSample() const
    {
        static constexpr std::size_t sizes[] = {1, 2, 3, 4, 4, 4, 8};
        return sizes[static_cast<int>(sampleType)];
    }
    // Bytes of one frame in one plane.
    std::size_t bytesPerFrame() const { return bytesPerSample() * (interleaved ? static_cast<std::size_t>(channelCount) : 1); }

    // 32-bit float, one plane per channel: the standard format of the framework.
    static AudioFormat standard(double sampleRate, int channelCount)
    {
        return AudioFormat{sampleRate, channelCount, SampleType::float32, channelCount <= 1};
    }
};

// Frames of one format, owned. `planes` holds one byte array per plane of the format, each
// at least frameLength * format.bytesPerFrame() long.
struct AudioBuffer {
    AudioFormat format;
    std::int64_t frameLength = 0;
    std::vector<std::vector<std::uint8_t>> planes;
};

// A stateful converter from one format to another (the recorder's: 16000 Hz mono float).
// Frames held back by its filter between calls come out with later calls; it is never
// told that the input has ended, so nothing is flushed while a recording runs. Not
// thread-safe: one thread at a time.
class AudioConverter {
public:
    enum class Status { haveData, inputRanDry, endOfStream, error };

    virtual ~AudioConverter() = default;
    virtual const AudioFormat& inputFormat() const = 0;
    // Hands over the whole input buffer and writes at most output.size() frames of the
    // target format (mono 32-bit float) into `output`; `frameLength` says how many.
    virtual Status convert(const AudioBuffer& input, std::span<float> output, std::uint32_t& frameLength) = 0;
};

// The default input device. inputFormat() and start() block until the sound server has
// answered, for a bounded time. Captured buffers reach the tap on a thread of the
// implementation: the buffer is valid only during the call, so copy it and return quickly.
// Once started, the engine reports at most once, on its own thread, that it stopped
// delivering by itself (the device or the sound server went away); stop() ends delivery
// and reporting, and blocks until no tap or report call is running. So the tap and the
// report must never wait for a thread that may be stopping the engine: hand work over
// asynchronously.
class AudioEngine {
public:
    using TapBlock = std::function<void(const AudioBuffer&)>;
    using StopReport = std::function<void(const PlatformError&)>;

    virtual ~AudioEngine() = default;
    // The device's own format; a sample rate of 0 or no channel when there is no input
    // device (a default source that only listens to an output is none).
    virtual AudioFormat inputFormat() = 0;
    // Buffers of about `bufferSize` frames in `format` (the device format) go to the block.
    virtual void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;
    virtual void removeTap() = 0;
    // Starts capturing; throws PlatformError when the device or the server refuses.
    virtual void start(StopReport stopped) = 0;
    virtual void stop() = 0;
};

// What an audio file holds: the codec as a four-character code, rate, channels, bit rate.
struct AudioFileSettings {
    // 'aac ': MPEG-4 AAC.
    static constexpr std::uint32_t formatMPEG4AAC = 0x61616320;

    std::uint32_t formatID = formatMPEG4AAC;
    double sampleRate = 16000;
    int channelCount = 1;
    int encoderBitRate = 24000;
};

// A compressed audio file being written, the container chosen by the path's extension
// (".m4a": MPEG-4 audio). It takes mono 32-bit float samples at the settings' rate.
// Destroying it without finish() finishes it as well as it can, errors ignored.
class AudioFile {
public:
    virtual ~AudioFile() = default;
    virtual const std::string& path() const = 0;
    // Encodes and appends the samples. Throws PlatformError (disk full, file gone, ...).
    virtual void write(std::span<const float> samples) = 0;
    // Drains the encoder, completes the container and closes the file, which a player can
    // then read, and answers the frames it holds. A file whose write was refused for want of
    // space is still finished, with everything written before: the file keeps room aside for
    // its ending. Throws PlatformError when that fails (or after any other write error); the
    // file is closed either way.
    virtual std::int64_t finish() = 0;
};

// The framework's factory. Every call runs on the caller's thread.
class AudioFramework {
public:
    virtual ~AudioFramework() = default;
    // Makes ready what converters and files need, once, before the first recording uses
    // them. Throws PlatformError when they cannot be had.
    virtual void prepare() {}
    // Nothing when no conversion between the formats exists.
    virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
    // A new engine on the default input device; it asks nothing of the server until used.
    virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
    // Creates (or truncates) the file. Throws PlatformError.
    virtual std::unique_ptr<AudioFile> openForWriting(const std::string& path, const AudioFileSettings& settings) = 0;
};
