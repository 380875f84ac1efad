#include "platform/linux/LinuxAudioFramework.hpp"

#include "platform/linux/FFmpegAudioConverter.hpp"
#include "platform/linux/FFmpegAudioFile.hpp"
#include "platform/linux/PulseAudioEngine.hpp"

std::unique_ptr<AudioConverter> LinuxAudioFramework::makeConverter(const AudioFormat& from, const AudioFormat& to)
{
    return FFmpegAudioConverter::make(from, to);
}

std::unique_ptr<AudioEngine> LinuxAudioFramework::makeEngine()
{
    return std::make_unique<PulseAudioEngine>(connection_);
}

std::unique_ptr<AudioFile> LinuxAudioFramework::openForWriting(const std::string& path,
                                                               const AudioFileSettings& settings)
{
    return FFmpegAudioFile::open(path, settings);
}
