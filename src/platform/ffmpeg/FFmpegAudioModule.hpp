#pragma once

#include "platform/Audio.hpp"

#include <memory>
#include <string>

// The audio converter and part writer are built into a module of their own,
// velmar-audio-ffmpeg.so, loaded the first time a recording starts. FFmpeg's codec and
// container libraries bring over a hundred more libraries with them, about 20 MB resident
// once loaded; a process that only takes pictures and drives input should not carry them.
struct FFmpegAudioModule {
    std::unique_ptr<AudioConverter> (*makeConverter)(const AudioFormat& from, const AudioFormat& to);
    std::unique_ptr<AudioFile> (*openForWriting)(const std::string& path, const AudioFileSettings& settings);
};

// The one symbol the module exports.
extern "C" const FFmpegAudioModule* velmarFFmpegAudioModule();

inline constexpr const char* ffmpegAudioModuleFile = "velmar-audio-ffmpeg.so";
