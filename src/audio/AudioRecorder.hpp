#pragma once

#include "base/Json.hpp"
#include "base/SerialQueue.hpp"
#include "platform/Audio.hpp"
#include "platform/Clock.hpp"
#include "platform/SystemAudio.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class Permissions;
struct Platform;

// The one audio recorder of the process. It captures system audio and the microphone at
// once, converts both to 16000 Hz mono float, mixes them and writes the mix into a series
// of AAC part files of bounded length in a directory chosen by the caller.
//
// Every field lives on the recorder's own serial queue. start(), stop() and status() enter
// it synchronously: call them from any thread but that queue. Sources reach it
// asynchronously from their own threads; each delivery carries the recording it belongs
// to, so whatever a source still had under way when its recording ended is dropped.
class AudioRecorder : public std::enable_shared_from_this<AudioRecorder> {
public:
    // Which source's blocks are written as they come; the other source only queues.
    enum class Clock { microphone, system };

    // The recorder's own error: its text is the message.
    class Failure : public std::exception {
    public:
        explicit Failure(std::string message) : message_(std::move(message)) {}
        const std::string& message() const { return message_; }
        const char* what() const noexcept override { return message_.c_str(); }

    private:
        std::string message_;
    };

    // A finished part.
    struct Part {
        int sequence = 0;
        std::string url; // the finished file's path
        ::Clock::Date startedAt;
        ::Clock::Date endedAt;
        std::int64_t bytes = 0;

        Json json() const;
    };

    static constexpr double sampleRate = 16000;
    // The recorder format: 32-bit float, mono, 16000 Hz.
    static AudioFormat format() { return AudioFormat::standard(sampleRate, 1); }

    static std::shared_ptr<AudioRecorder> make(Platform& platform, Permissions& permissions);
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    // Prepares `directory` (its "pending" subdirectory made 0700 and emptied), resets the
    // recording and starts the microphone (when asked) and system audio. Throws Failure when
    // a recording runs or neither source starts, and the file system's PlatformError when
    // the pending directory cannot be made. May block for more than 20 s.
    void start(const std::string& directory, double partSeconds, bool microphone);
    // Stops the sources and finishes the last part; nothing when no recording runs. Blocks
    // for at most about 5 s. Never throws.
    void stop();
    // The status object, after forgetting parts whose files are gone.
    Json status();

    // The pieces of the recording's arithmetic, for their own tests.
    // Part length in frames for the seconds asked: 10 to 300 s.
    static std::int64_t partFramesFor(double partSeconds);
    // Appends the block; a queue past 3 s is cut to its newest second.
    static void enqueue(std::span<const float> block, std::vector<float>& fifo);
    // Adds the queued samples onto the clock block (as far as both reach), removes them
    // from the queue, clips the sum to -1 ... 1 (NaN to 1) and answers the block's level.
    static float mix(std::vector<float>& block, std::vector<float>& fifo);
    // When a new part starts: now for the first part; after a part that ended at most a
    // second ago (or ends in the future), right at that end; after a longer gap, now - 1 s.
    static ::Clock::Date partStart(const std::vector<Part>& parts, ::Clock::Date now);
    // Milliseconds since 1970, truncated toward zero.
    static std::int64_t milliseconds(::Clock::Date date);
    // 2024-05-06T07:08:09.123Z
    static std::string iso(::Clock::Date date);

    // For tests: the recorder state the status does not show.
    Clock clock();
    std::int64_t partFrames();

private:
    enum class Source { microphone, system };

    AudioRecorder(Platform& platform, Permissions& permissions);

    // Lifecycle.
    void stopSources();
    void fail(const std::string& message);
    // Finishes the open part and lists it; answers the failure to report, if any.
    std::optional<std::string> finishPart();
    void openPart();
    void closePart();

    // Sources.
    void startSystem(std::uint64_t recording);
    void startMicrophone(std::uint64_t recording);
    void receiveSystem(const AudioBuffer& buffer, std::uint64_t recording);
    void receiveMicrophone(const AudioBuffer& buffer, std::uint64_t recording);
    void systemStopped(const std::exception_ptr& error, std::uint64_t recording);
    void microphoneStopped(const PlatformError& error, std::uint64_t recording);
    void handClockTo(Clock clock);
    static std::vector<float> convert(const AudioBuffer& buffer, AudioConverter& converter);

    // Mixing and writing.
    void route(std::vector<float> block, Source source);
    void mixAndWrite(std::vector<float>& block, std::vector<float>& fifo);
    void write(std::span<const float> samples);

    bool isCurrent(std::uint64_t recording) const { return running_ && recording == recording_; }
    std::string describe(const std::exception_ptr& error);

    Platform& platform_;
    Permissions& permissions_;

    bool running_ = false;
    // Counts the starts; a source's delivery names the recording it belongs to.
    std::uint64_t recording_ = 0;
    std::optional<std::string> directory_;
    std::optional<std::string> pending_;
    std::int64_t partFrames_ = 960000;
    Clock clock_ = Clock::system;
    std::unique_ptr<SystemAudioStream> stream_;
    std::string systemState_ = "off";
    std::unique_ptr<AudioConverter> systemConverter_;
    std::unique_ptr<AudioEngine> engine_;
    std::string microphoneState_ = "off";
    std::unique_ptr<AudioConverter> microphoneConverter_;
    std::vector<float> systemFIFO_;
    std::vector<float> microphoneFIFO_;
    float level_ = 0;
    std::optional<::Clock::Date> lastAudioAt_;
    std::optional<::Clock::Date> lastSystemAt_;
    std::optional<::Clock::Date> lastMicrophoneAt_;
    // When each source last delivered (or started): a clock that went quiet is replaced.
    ::Clock::TimePoint microphoneHeardAt_{};
    ::Clock::TimePoint systemHeardAt_{};
    std::unique_ptr<AudioFile> file_;
    std::int64_t fileFrames_ = 0;
    std::optional<::Clock::Date> fileStartedAt_;
    int sequence_ = 0;
    std::vector<Part> parts_;
    std::string error_;

    // Last, so that it stops, and drops what is still queued, before the fields go.
    SerialQueue queue_;
};
