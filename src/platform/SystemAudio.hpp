#pragma once

#include "base/PlatformError.hpp"
#include "platform/Audio.hpp"
#include "platform/ScreenCaptureFramework.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The capture framework's audio stream: what the computer plays, without this process's
// own sound.

// Requests the stream honours as far as it can: buffers carry the format they really have.
struct AudioStreamConfiguration {
    bool capturesAudio = true;
    bool excludesCurrentProcessAudio = true;
    int sampleRate = 16000;
    int channelCount = 1;
    // The picture of the stream is not used: as small and rare as the framework allows.
    std::int64_t width = 2;
    std::int64_t height = 2;
    std::chrono::seconds minimumFrameInterval{1};
    bool showsCursor = false;
};

// One stream. Its completions and reports run on threads of the implementation, never on
// the caller's, and may come after the caller stopped waiting: they must own what they
// touch. Destroying the stream ends all delivery; no completion runs after the destructor
// has returned, which waits for a running one: so the handler, the completions and the
// report must never wait for a thread that may be destroying the stream.
class SystemAudioStream {
public:
    // An owned buffer of captured frames, in the format the stream really delivers.
    using SampleHandler = std::function<void(AudioBuffer)>;
    using StartCompletion = std::function<void(std::optional<PlatformError>)>;
    using StopCompletion = std::function<void()>;

    virtual ~SystemAudioStream() = default;
    // Where the sample buffers go once the stream runs. Throws PlatformError.
    virtual void addAudioOutput(SampleHandler handler) = 0;
    // Returns at once; the completion runs once, with no error when the stream delivers.
    virtual void startCapture(StartCompletion completion) = 0;
    // Returns at once; the completion runs once when the stream has stopped.
    virtual void stopCapture(StopCompletion completion) = 0;
};

class SystemAudio {
public:
    // Called at most once, on a thread of the implementation, when a started stream stops
    // by itself (the sound server went away, the device vanished).
    using StopReport = std::function<void(const PlatformError&)>;

    virtual ~SystemAudio() = default;
    // A stream over the filter's display. Asks nothing of the sound server until started.
    virtual std::unique_ptr<SystemAudioStream> makeStream(const ContentFilter& filter,
                                                          const AudioStreamConfiguration& configuration,
                                                          StopReport didStop)
        = 0;
};
