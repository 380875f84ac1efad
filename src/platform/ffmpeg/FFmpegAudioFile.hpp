#pragma once

#include "platform/Audio.hpp"

#include <memory>
#include <optional>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

// A compressed audio file written with libavformat (the container guessed from the path's
// extension: ".m4a" is the M4A muxer) and libavcodec's own AAC encoder. Samples are encoded
// as they come, a frame of the encoder at a time, and every write that produced packets
// pushes them to the file at once: a full disk or a file system that refuses the write is
// reported by that write, not seconds later. Beside the file lies a reserve of disk space,
// given up when the disk is full: the write that met the full disk is written into it and
// reported as failed, and finish() still completes the container there, so that what was
// recorded stays playable. Errors are PlatformError("FFmpeg", AVERROR
// code, av_strerror's text); after one, every later call reports it again.
class FFmpegAudioFile final : public AudioFile {
public:
    // Creates (or truncates) the file and writes the container's header. Throws PlatformError.
    static std::unique_ptr<FFmpegAudioFile> open(const std::string& path, const AudioFileSettings& settings);
    ~FFmpegAudioFile() override;

    const std::string& path() const override { return path_; }
    void write(std::span<const float> samples) override;
    std::int64_t finish() override;

    // The room kept aside for the container's ending: the index of a 300 s part is about
    // 40 KB, and the I/O layer holds up to 32 KB besides.
    static constexpr std::int64_t reserveBytes = 128 * 1024;

private:
    explicit FFmpegAudioFile(std::string path);
    // The container, encoder and frame, in memory.
    void prepare(int rate, int bitRate);
    // The file on disk, with the container's header.
    void create(int rate);
    void encodeFrame(bool last);
    // Sends a frame (nullptr drains the encoder) and writes the packets that come out.
    void encode(AVFrame* frame);
    void pushToFile();
    // The I/O layer's writes and seeks, on the file's descriptor.
    static int writeOut(void* self, std::uint8_t* data, int size);
    static std::int64_t seekTo(void* self, std::int64_t offset, int whence);
    void releaseReserve();
    void close();
    [[noreturn]] void fail(int code);

    std::string path_;
    std::string reservePath_;
    int descriptor_ = -1;
    // The reserve was given up: the disk is full, and every write from here on is refused.
    bool diskFull_ = false;
    AVFormatContext* container_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int frameSamples_ = 0;
    int filled_ = 0;
    std::int64_t nextTimestamp_ = 0;
    bool wrotePackets_ = false;
    bool finished_ = false;
    std::optional<PlatformError> error_;
};
