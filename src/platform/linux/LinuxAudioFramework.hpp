#pragma once

#include "platform/Audio.hpp"
#include "platform/linux/PulseAudioConnection.hpp"

#include <memory>

// The audio framework of this desktop: the microphone through PulseAudio, converters on
// libswresample, files through libavformat and libavcodec.
class LinuxAudioFramework final : public AudioFramework {
public:
    explicit LinuxAudioFramework(std::shared_ptr<PulseAudioConnection> connection) : connection_(std::move(connection))
    {
    }

    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;
    std::unique_ptr<AudioEngine> makeEngine() override;
    std::unique_ptr<AudioFile> openForWriting(const std::string& path, const AudioFileSettings& settings) override;

private:
    std::shared_ptr<PulseAudioConnection> connection_;
};
