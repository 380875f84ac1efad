#pragma once

#include "platform/Audio.hpp"
#include "platform/SystemAudio.hpp"
#include "platform/fake/FakeFileSystem.hpp"

#include <mutex>
#include <vector>

// A buffer of `samples` frames in `format`, every channel holding the same values, written
// in the format's sample type (so a test can feed any rate, layout and type).
AudioBuffer makeFakeBuffer(const AudioFormat& format, const std::vector<float>& samples);

// The audio framework of the tests. Converters keep the first channel and resample by
// picking the nearest earlier frame, with their position carried from call to call, so
// 16000 Hz mono float passes through unchanged. Files write into the FakeFileSystem.
// The microphone delivers only when a test calls deliverMicrophone(), on the test's thread.
class FakeAudioFramework final : public AudioFramework {
public:
    explicit FakeAudioFramework(FakeFileSystem& fileSystem) : fileSystem_(fileSystem) {}

    void prepare() override;
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;
    std::unique_ptr<AudioEngine> makeEngine() override;
    std::unique_ptr<AudioFile> openForWriting(const std::string& path, const AudioFileSettings& settings) override;

    // Scripts.
    // The default input device's format; a rate of 0 stands for no device. Default: 48000 Hz stereo float.
    void setMicrophoneFormat(AudioFormat format);
    void setMicrophoneStartError(std::optional<PlatformError> error);
    // No converter is made from this format.
    void refuseConversionFrom(std::optional<AudioFormat> format);
    // Converters answer Status::error.
    void setConverterFails(bool fails);
    void setOpenError(std::optional<PlatformError> error);
    // prepare() throws it, as when the encoder cannot be loaded.
    void setPrepareError(std::optional<PlatformError> error);
    // Writes fail once a file holds this many samples (the write that would pass it fails).
    void setWriteLimit(std::optional<std::size_t> samples, PlatformError error);
    void setFinishError(std::optional<PlatformError> error);

    // Acts of the microphone, on the calling thread. False when no tap is installed on a
    // started engine.
    bool deliverMicrophone(const AudioBuffer& buffer);
    // The running engine stops by itself with the error.
    bool stopMicrophoneWithError(const PlatformError& error);

    struct Counts {
        int convertersMade = 0;
        int enginesMade = 0;
        int enginesStarted = 0;
        int enginesStopped = 0;
        int tapsInstalled = 0;
        int tapsRemoved = 0;
        int filesOpened = 0;
        int filesFinished = 0;
    };
    Counts counts() const;
    std::vector<AudioFileSettings> fileSettings() const;
    std::optional<std::uint32_t> tapBufferSize() const;

private:
    friend class FakeEngine;
    friend class FakeFile;
    friend class FakeConverter;

    FakeFileSystem& fileSystem_;
    mutable std::mutex mutex_;
    AudioFormat microphoneFormat_ = AudioFormat{48000, 2, SampleType::float32, true};
    std::optional<PlatformError> microphoneStartError_;
    std::optional<AudioFormat> unconvertible_;
    bool converterFails_ = false;
    std::optional<PlatformError> openError_;
    std::optional<PlatformError> prepareError_;
    std::optional<std::size_t> writeLimit_;
    PlatformError writeError_{"POSIX", 28, "No space left on device"};
    std::optional<PlatformError> finishError_;
    Counts counts_;
    std::vector<AudioFileSettings> fileSettings_;
    std::optional<std::uint32_t> tapBufferSize_;
    // The tap and stop report of the engine that is running, if any.
    AudioEngine::TapBlock tap_;
    AudioEngine::StopReport stopReport_;
    bool engineRunning_ = false;
};

// The capture framework's audio stream for tests. Buffers and stop reports come when a test
// calls deliver() and reportStop(), on the test's thread.
class FakeSystemAudio final : public SystemAudio {
public:
    enum class StartAnswer { success, error, never };
    enum class StopAnswer { confirm, never };

    std::unique_ptr<SystemAudioStream> makeStream(const ContentFilter& filter,
                                                  const AudioStreamConfiguration& configuration,
                                                  StopReport didStop) override;

    void setAddOutputError(std::optional<PlatformError> error);
    void setStartAnswer(StartAnswer answer, PlatformError error = PlatformError("PulseAudio", 5, "Connection refused"));
    void setStopAnswer(StopAnswer answer);

    // False when no stream has its output and a confirmed start.
    bool deliver(AudioBuffer buffer);
    bool reportStop(const PlatformError& error);

    struct Made {
        ContentFilter filter;
        AudioStreamConfiguration configuration;
    };
    std::vector<Made> streamsMade() const;
    int stopsAsked() const;
    // Whether a stream object still exists.
    bool streamAlive() const;

private:
    friend class FakeStream;

    mutable std::mutex mutex_;
    std::optional<PlatformError> addOutputError_;
    StartAnswer startAnswer_ = StartAnswer::success;
    PlatformError startError_{"PulseAudio", 5, "Connection refused"};
    StopAnswer stopAnswer_ = StopAnswer::confirm;
    std::vector<Made> made_;
    int stopsAsked_ = 0;
    // The live stream's handler and report; cleared when it is destroyed.
    int alive_ = 0;
    bool started_ = false;
    SystemAudioStream::SampleHandler handler_;
    StopReport didStop_;
};
