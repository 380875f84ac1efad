#include "platform/ffmpeg/FFmpegAudioModule.hpp"

#include "platform/ffmpeg/FFmpegAudioConverter.hpp"
#include "platform/ffmpeg/FFmpegAudioFile.hpp"

namespace {

std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to)
{
    return FFmpegAudioConverter::make(from, to);
}

std::unique_ptr<AudioFile> openForWriting(const std::string& path, const AudioFileSettings& settings)
{
    return FFmpegAudioFile::open(path, settings);
}

constexpr FFmpegAudioModule module{makeConverter, openForWriting};

} // namespace

extern "C" __attribute__((visibility("default"))) const FFmpegAudioModule* velmarFFmpegAudioModule()
{
    return &module;
}
