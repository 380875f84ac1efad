#include "platform/ffmpeg/FFmpegAudioFile.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PlatformError ffmpegError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return PlatformError("FFmpeg", code, text);
}

}

FFmpegAudioFile::FFmpegAudioFile(std::string path) : path_(std::move(path)), reservePath_(path_ + ".reserve") {}

std::unique_ptr<FFmpegAudioFile> FFmpegAudioFile::open(const std::string& path, const AudioFileSettings& settings)
{
    if (settings.formatID != AudioFileSettings::formatMPEG4AAC || settings.channelCount != 1
        || !(settings.sampleRate >= 1 && settings.sampleRate <= INT_MAX) || settings.encoderBitRate <= 0)
        throw PlatformError("FFmpeg", AVERROR(EINVAL), "only mono AAC files can be written");
    const int rate = static_cast<int>(std::lround(settings.sampleRate));

    // The libraries would print to standard error, which carries only the process's own messages.
    av_log_set_level(AV_LOG_QUIET);
    std::unique_ptr<FFmpegAudioFile> file(new FFmpegAudioFile(path));
    // Until the header is written there is nothing the destructor could finish.
    file->finished_ = true;
    file->prepare(rate, settings.encoderBitRate);
    file->create(rate);
    file->finished_ = false;
    return file;
}

void FFmpegAudioFile::prepare(int rate, int bitRate)
{
    int result = avformat_alloc_output_context2(&container_, nullptr, nullptr, path_.c_str());
    if (result < 0)
        fail(result);
    // The encoder of libavcodec itself, whatever else is installed.
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec)
        fail(AVERROR_ENCODER_NOT_FOUND);
    if (!(encoder_ = avcodec_alloc_context3(codec)))
        fail(AVERROR(ENOMEM));
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = rate;
    encoder_->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    encoder_->bit_rate = bitRate;
    encoder_->time_base = AVRational{1, rate};
    if (container_->oformat->flags & AVFMT_GLOBALHEADER)
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((result = avcodec_open2(encoder_, codec, nullptr)) < 0)
        fail(result);
    if (!(stream_ = avformat_new_stream(container_, nullptr)))
        fail(AVERROR(ENOMEM));
    stream_->time_base = encoder_->time_base;
    if ((result = avcodec_parameters_from_context(stream_->codecpar, encoder_)) < 0)
        fail(result);

    frameSamples_ = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_)
        fail(AVERROR(ENOMEM));
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = rate;
    frame_->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    frame_->nb_samples = frameSamples_;
    if ((result = av_frame_get_buffer(frame_, 0)) < 0)
        fail(result);
}

void FFmpegAudioFile::create(int rate)
{
    // The reserve first: a disk without room for it has none for a part either.
    const int reserve = ::open(reservePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (reserve < 0)
        fail(AVERROR(errno));
    const int allocated = posix_fallocate(reserve, 0, reserveBytes);
    ::close(reserve);
    if (allocated != 0) {
        ::unlink(reservePath_.c_str());
        fail(AVERROR(allocated));
    }
    descriptor_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor_ < 0)
        fail(AVERROR(errno));
    constexpr int bufferSize = 32 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (!buffer)
        fail(AVERROR(ENOMEM));
    container_->pb = avio_alloc_context(buffer, bufferSize, 1, this, nullptr, writeOut, seekTo);
    if (!container_->pb) {
        av_free(buffer);
        fail(AVERROR(ENOMEM));
    }
    container_->flags |= AVFMT_FLAG_CUSTOM_IO;
    int result;
    // The edit list that trims the encoder's priming and padding counts in the movie's
    // time scale, by default milliseconds; at the sample rate it is exact.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", rate, 0);
    result = avformat_write_header(container_, &options);
    av_dict_free(&options);
    if (result < 0)
        fail(result);
    // The header reaches the disk now: a file system that refuses it shows it here.
    pushToFile();
}

FFmpegAudioFile::~FFmpegAudioFile()
{
    if (!finished_) {
        try {
            finish();
        } catch (const PlatformError&) {
        }
    }
    close();
}

int FFmpegAudioFile::writeOut(void* opaque, std::uint8_t* data, int size)
{
    auto& file = *static_cast<FFmpegAudioFile*>(opaque);
    int written = 0;
    while (written < size) {
        const ssize_t result = ::write(file.descriptor_, data + written, static_cast<std::size_t>(size - written));
        if (result > 0) {
            written += static_cast<int>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else if (result < 0 && (errno == ENOSPC || errno == EDQUOT) && !file.diskFull_) {
            // The disk is full: the reserve makes room for this write and the container's
            // ending, and the write is reported as failed once it is done.
            file.releaseReserve();
        } else {
            return result < 0 ? AVERROR(errno) : AVERROR(EIO);
        }
    }
    return written;
}

std::int64_t FFmpegAudioFile::seekTo(void* opaque, std::int64_t offset, int whence)
{
    auto& file = *static_cast<FFmpegAudioFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status {};
        return ::fstat(file.descriptor_, &status) == 0 ? status.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(file.descriptor_, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

void FFmpegAudioFile::releaseReserve()
{
    diskFull_ = true;
    ::unlink(reservePath_.c_str());
}

void FFmpegAudioFile::write(std::span<const float> samples)
{
    if (error_)
        throw *error_;
    if (diskFull_)
        throw ffmpegError(AVERROR(ENOSPC));
    if (finished_)
        throw PlatformError("FFmpeg", AVERROR(EINVAL), "the file is finished already");
    wrotePackets_ = false;
    // The encoder takes whole frames of frameSamples_; the rest waits in frame_.
    for (std::size_t at = 0; at < samples.size();) {
        int result;
        if (filled_ == 0 && (result = av_frame_make_writable(frame_)) < 0)
            fail(result);
        const std::size_t count = std::min(samples.size() - at, static_cast<std::size_t>(frameSamples_ - filled_));
        std::memcpy(reinterpret_cast<float*>(frame_->data[0]) + filled_, samples.data() + at, count * sizeof(float));
        filled_ += static_cast<int>(count);
        at += count;
        if (filled_ == frameSamples_)
            encodeFrame(false);
    }
    if (wrotePackets_)
        pushToFile();
    if (diskFull_)
        throw ffmpegError(AVERROR(ENOSPC));
}

std::int64_t FFmpegAudioFile::finish()
{
    if (finished_) {
        if (error_)
            throw *error_;
        return nextTimestamp_;
    }
    finished_ = true;
    try {
        if (error_)
            throw *error_;
        if (filled_ > 0)
            encodeFrame(true);
        encode(nullptr);
        if (const int result = av_write_trailer(container_); result < 0)
            fail(result);
        pushToFile();
    } catch (const PlatformError&) {
        close();
        throw;
    }
    // Closing writes what the I/O layer still holds.
    close();
    if (error_)
        throw *error_;
    return nextTimestamp_;
}

void FFmpegAudioFile::encodeFrame(bool last)
{
    frame_->nb_samples = filled_;
    if (last && filled_ < frameSamples_ && !(encoder_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) {
        // An encoder that takes only whole frames gets silence after the end.
        std::fill(reinterpret_cast<float*>(frame_->data[0]) + filled_,
                  reinterpret_cast<float*>(frame_->data[0]) + frameSamples_, 0.0f);
        frame_->nb_samples = frameSamples_;
    }
    frame_->pts = nextTimestamp_;
    nextTimestamp_ += filled_;
    filled_ = 0;
    encode(frame_);
    frame_->nb_samples = frameSamples_;
}

void FFmpegAudioFile::encode(AVFrame* frame)
{
    int result = avcodec_send_frame(encoder_, frame);
    if (result < 0)
        fail(result);
    for (;;) {
        result = avcodec_receive_packet(encoder_, packet_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return;
        if (result < 0)
            fail(result);
        // The encoder pads a short last frame to a multiple of 16 samples; the file is as
        // long as what was written.
        if (packet_->pts != AV_NOPTS_VALUE && packet_->pts < nextTimestamp_
            && packet_->pts + packet_->duration > nextTimestamp_)
            packet_->duration = nextTimestamp_ - packet_->pts;
        av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        result = av_write_frame(container_, packet_);
        av_packet_unref(packet_);
        if (result < 0)
            fail(result);
        wrotePackets_ = true;
    }
}

void FFmpegAudioFile::pushToFile()
{
    // Without this the I/O layer holds back 32 KB, which at 24 kbit/s is ten seconds of
    // audio whose write error would surface only then.
    avio_flush(container_->pb);
    if (container_->pb->error < 0)
        fail(container_->pb->error);
}

void FFmpegAudioFile::close()
{
    if (container_ && container_->pb) {
        avio_flush(container_->pb);
        if (container_->pb->error < 0 && !error_)
            error_ = ffmpegError(container_->pb->error);
        av_freep(&container_->pb->buffer);
        avio_context_free(&container_->pb);
    }
    if (descriptor_ >= 0) {
        if (::close(descriptor_) != 0 && !error_)
            error_ = ffmpegError(AVERROR(errno));
        descriptor_ = -1;
    }
    ::unlink(reservePath_.c_str());
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&encoder_);
    avformat_free_context(container_);
    container_ = nullptr;
}

void FFmpegAudioFile::fail(int code)
{
    error_ = ffmpegError(code);
    throw *error_;
}
