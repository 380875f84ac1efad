#include "audio/AudioRecorder.hpp"

#include "capture/ScreenCapture.hpp"
#include "platform/FileSystem.hpp"
#include "platform/Platform.hpp"

#include <chrono>
#include <cmath>
#include <semaphore>

namespace {

constexpr auto sourceStopWait = std::chrono::seconds(5);

// The directory as the caller named it, without trailing slashes ("/" stays "/").
std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string child(const std::string& directory, const std::string& name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
}

}

std::shared_ptr<AudioRecorder> AudioRecorder::make(Platform& platform, Permissions& permissions)
{
    return std::shared_ptr<AudioRecorder>(new AudioRecorder(platform, permissions));
}

AudioRecorder::AudioRecorder(Platform& platform, Permissions& permissions)
    : platform_(platform), permissions_(permissions), queue_("com.velmar.computer-use.audio")
{
}

AudioRecorder::~AudioRecorder() = default;

std::string AudioRecorder::describe(const std::exception_ptr& error)
{
    return ScreenCapture::describe(platform_, error);
}

std::int64_t AudioRecorder::partFramesFor(double partSeconds)
{
    // NaN fails the comparison and so takes the longest parts, as 300 s or more do.
    if (partSeconds < 300)
        return static_cast<std::int64_t>(std::round(std::fmax(partSeconds, 10) * sampleRate));
    return static_cast<std::int64_t>(300 * sampleRate);
}

void AudioRecorder::start(const std::string& directory, double partSeconds, bool microphone)
{
    queue_.sync([&] {
        if (running_)
            throw Failure("a recording is already running; stop it first");
        try {
            platform_.audio.prepare();
        } catch (const PlatformError& error) {
            throw Failure("the audio encoder is not available: " + error.description);
        }

        const std::string recordingDirectory = withoutTrailingSlashes(directory);
        const std::string pending = child(recordingDirectory, "pending");
        platform_.fileSystem.createDirectories(pending, 0700);
        // What is left in "pending" is the unfinished part of a recording that failed.
        for (const auto& entry : platform_.fileSystem.contents(pending).value_or(std::vector<std::string>{}))
            platform_.fileSystem.remove(entry);

        directory_ = recordingDirectory;
        pending_ = pending;
        partFrames_ = partFramesFor(partSeconds);
        systemFIFO_.clear();
        microphoneFIFO_.clear();
        level_ = 0;
        lastAudioAt_.reset();
        lastSystemAt_.reset();
        lastMicrophoneAt_.reset();
        file_.reset();
        fileFrames_ = 0;
        fileStartedAt_.reset();
        sequence_ = 0;
        parts_.clear();
        error_.clear();
        running_ = true;
        const std::uint64_t recording = ++recording_;

        std::string microphoneText = "off";
        microphoneState_ = "off";
        if (microphone) {
            try {
                startMicrophone(recording);
                microphoneState_ = "on";
            } catch (...) {
                microphoneText = describe(std::current_exception());
                microphoneState_ = "error: " + microphoneText;
            }
        }
        std::string systemText;
        try {
            startSystem(recording);
            systemState_ = "on";
        } catch (...) {
            systemText = describe(std::current_exception());
            systemState_ = "error: " + systemText;
        }

        clock_ = microphoneState_ == "on" ? Clock::microphone : Clock::system;
        if (microphoneState_ != "on" && systemState_ != "on") {
            running_ = false;
            stopSources();
            throw Failure("no audio source: system audio \u2014 " + systemText + "; microphone \u2014 " + microphoneText);
        }
    });
}

void AudioRecorder::stop()
{
    queue_.sync([this] {
        if (!running_)
            return;
        running_ = false;
        stopSources();
        closePart();
        systemState_ = "off";
        microphoneState_ = "off";
    });
}

void AudioRecorder::stopSources()
{
    if (engine_) {
        engine_->removeTap();
        engine_->stop();
        engine_.reset();
    }
    microphoneConverter_.reset();
    if (stream_) {
        // The wait ends on the platform's thread; a stream that never confirms is
        // forgotten all the same once the time is up.
        auto stopped = std::make_shared<std::counting_semaphore<>>(0);
        stream_->stopCapture([stopped] { stopped->release(); });
        platform_.clock.waitUntil(*stopped, platform_.clock.now() + sourceStopWait);
        stream_.reset();
    }
    systemConverter_.reset();
}

void AudioRecorder::fail(const std::string& message)
{
    error_ = message;
    running_ = false;
    stopSources();
    // The part under way holds audio that was captured: it is finished and listed when
    // that can be done, and removed when it cannot, since a player would reject it. The
    // failure reported is the one that ended the recording.
    finishPart();
    systemState_ = "off";
    microphoneState_ = "off";
}

Json AudioRecorder::status()
{
    Json report;
    queue_.sync([&] {
        std::erase_if(parts_, [&](const Part& part) { return !platform_.fileSystem.exists(part.url); });
        Json parts = Json::array();
        for (const Part& part : parts_)
            parts.push_back(part.json());
        report = Json{
            {"recording", running_},
            {"parts", std::move(parts)},
            {"sequence", sequence_},
            {"level", static_cast<double>(level_)},
            {"system_audio", systemState_},
            {"microphone", microphoneState_},
            {"error", error_},
        };
        if (directory_)
            report["directory"] = *directory_;
        if (lastAudioAt_)
            report["last_audio_at"] = iso(*lastAudioAt_);
        if (lastSystemAt_)
            report["last_system_audio_at"] = iso(*lastSystemAt_);
        if (lastMicrophoneAt_)
            report["last_microphone_audio_at"] = iso(*lastMicrophoneAt_);
    });
    return report;
}

AudioRecorder::Clock AudioRecorder::clock()
{
    Clock clock = Clock::system;
    queue_.sync([&] { clock = clock_; });
    return clock;
}

std::int64_t AudioRecorder::partFrames()
{
    std::int64_t frames = 0;
    queue_.sync([&] { frames = partFrames_; });
    return frames;
}
