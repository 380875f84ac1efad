#pragma once

#include "platform/Audio.hpp"
#include "platform/ffmpeg/FFmpegAudioModule.hpp"
#include "platform/pulseaudio/PulseAudioConnection.hpp"

#include <memory>
#include <mutex>

// The audio framework of this desktop: the microphone through PulseAudio, converters on
// libswresample, files through libavformat and libavcodec, both in the module that
// prepare() loads (FFmpegAudioModule.hpp).
class LinuxAudioFramework final : public AudioFramework {
public:
    explicit LinuxAudioFramework(std::shared_ptr<PulseAudioConnection> connection) : connection_(std::move(connection))
    {
    }

    void prepare() override;
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;
    std::unique_ptr<AudioEngine> makeEngine() override;
    std::unique_ptr<AudioFile> openForWriting(const std::string& path, const AudioFileSettings& settings) override;

private:
    // Loads the module once; throws PlatformError while it cannot.
    const FFmpegAudioModule& module();

    std::shared_ptr<PulseAudioConnection> connection_;
    std::mutex moduleLock_;
    const FFmpegAudioModule* module_ = nullptr;
};
