#pragma once

#include "platform/Audio.hpp"
#include "platform/SystemAudio.hpp"

// FIXME: stands in until the PulseAudio and FFmpeg implementations land; every start fails.
class UnavailableAudio final : public SystemAudio, public AudioFramework {
public:
    std::unique_ptr<SystemAudioStream> makeStream(const ContentFilter&, const AudioStreamConfiguration&, StopReport) override
    {
        throw PlatformError("PulseAudio", -1, "audio is not available in this build");
    }
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override { return nullptr; }
    std::unique_ptr<AudioEngine> makeEngine() override
    {
        throw PlatformError("PulseAudio", -1, "audio is not available in this build");
    }
    std::unique_ptr<AudioFile> openForWriting(const std::string&, const AudioFileSettings&) override
    {
        throw PlatformError("FFmpeg", -1, "audio is not available in this build");
    }
};
