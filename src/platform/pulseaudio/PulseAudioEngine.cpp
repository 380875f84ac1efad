#include "platform/pulseaudio/PulseAudioEngine.hpp"

#include "platform/pulseaudio/PulseAudioRecordStream.hpp"

#include <pulse/error.h>
#include <pulse/introspect.h>

SampleType sampleTypeOf(pa_sample_format_t format)
{
    switch (format) {
    case PA_SAMPLE_U8:
        return SampleType::unsigned8;
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
        return SampleType::signed24;
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
        return SampleType::signed24In32;
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
        return SampleType::signed32;
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
        return SampleType::float32;
    default:
        return SampleType::signed16; // 16-bit itself, A-law and mu-law
    }
}

std::optional<pa_sample_format_t> pulseAudioFormatOf(SampleType type)
{
    switch (type) {
    case SampleType::unsigned8:
        return PA_SAMPLE_U8;
    case SampleType::signed16:
        return PA_SAMPLE_S16NE;
    case SampleType::signed24:
        return PA_SAMPLE_S24NE;
    case SampleType::signed24In32:
        return PA_SAMPLE_S24_32NE;
    case SampleType::signed32:
        return PA_SAMPLE_S32NE;
    case SampleType::float32:
        return PA_SAMPLE_FLOAT32NE;
    case SampleType::float64:
        return std::nullopt;
    }
    return std::nullopt;
}

namespace {

AudioFormat formatOf(const pa_sample_spec& spec)
{
    return AudioFormat{static_cast<double>(spec.rate), spec.channels, sampleTypeOf(spec.format), true};
}

}

PulseAudioEngine::~PulseAudioEngine() { stop(); }

AudioFormat PulseAudioEngine::inputFormat()
{
    try {
        PulseAudioConnection::Lock lock(*connection_);
        source_ = defaultSource(lock, std::chrono::steady_clock::now() + answerTimeout);
        return source_ ? formatOf(source_->spec) : AudioFormat{};
    } catch (const PlatformError&) {
        // No server, no microphone.
        return AudioFormat{};
    }
}

std::optional<PulseAudioEngine::Source> PulseAudioEngine::defaultSource(const PulseAudioConnection::Lock& lock,
                                                                        PulseAudioConnection::Deadline deadline)
{
    pa_context* context = connection_->readyContext(lock, deadline);
    struct Answer {
        std::optional<Source> source;
    } answer;
    const auto receive = [](pa_context*, const pa_source_info* info, int end, void* data) {
        // Without any source the answer is an error, which means the same: no microphone.
        if (end != 0 || !info || info->monitor_of_sink != PA_INVALID_INDEX)
            return;
        static_cast<Answer*>(data)->source = Source{info->name, info->sample_spec, info->channel_map};
    };
    // The server resolves the name, so one round trip tells the default source's details.
    pa_operation* operation = pa_context_get_source_info_by_name(context, "@DEFAULT_SOURCE@", receive, &answer);
    if (!operation)
        throw PulseAudioConnection::error(context);
    // A late answer is cancelled, so `answer` is never written after this returns.
    if (!connection_->finish(lock, operation, deadline)) {
        if (pa_context_get_state(context) != PA_CONTEXT_READY)
            throw PulseAudioConnection::error(context);
        throw PulseAudioConnection::error(PA_ERR_TIMEOUT,
                                          "the PulseAudio server did not describe its default source in time");
    }
    return answer.source;
}

void PulseAudioEngine::installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block)
{
    PulseAudioConnection::Lock lock(*connection_);
    bufferFrames_ = std::max<std::uint32_t>(bufferSize, 1);
    tapFormat_ = format;
    tap_ = std::move(block);
}

void PulseAudioEngine::removeTap()
{
    PulseAudioConnection::Lock lock(*connection_);
    tap_ = nullptr;
}

void PulseAudioEngine::start(StopReport stopped)
{
    PulseAudioConnection::Lock lock(*connection_);
    if (stream_ && stream_->running())
        return;
    if (stream_) {
        stream_->close(lock);
        stream_.reset();
    }
    const auto deadline = std::chrono::steady_clock::now() + answerTimeout;
    if (!source_)
        source_ = defaultSource(lock, deadline);
    if (!source_)
        throw PulseAudioConnection::error(PA_ERR_NOENTITY, "there is no input device");

    const AudioFormat format = tapFormat_.sampleRate > 0 ? tapFormat_ : formatOf(source_->spec);
    const auto sampleFormat = pulseAudioFormatOf(format.sampleType);
    pa_sample_spec spec{sampleFormat.value_or(PA_SAMPLE_INVALID), static_cast<std::uint32_t>(format.sampleRate),
                        static_cast<std::uint8_t>(format.channelCount)};
    if (!sampleFormat || (!format.interleaved && format.channelCount > 1) || format.sampleRate < 1
        || format.channelCount < 1 || format.channelCount > static_cast<int>(PA_CHANNELS_MAX)
        || !pa_sample_spec_valid(&spec))
        throw PulseAudioConnection::error(PA_ERR_NOTSUPPORTED, "the microphone cannot deliver " + format.description());

    // The server sends fragments larger than the tap's buffers, which are sliced from them
    // here: fewer wake-ups for the same buffers.
    const auto tapBytes = static_cast<std::uint32_t>(bufferFrames_ * pa_frame_size(&spec));
    const auto fragmentBytes
        = static_cast<std::uint32_t>(pa_usec_to_bytes(PulseAudioRecordStream::fragmentDuration, &spec));
    PulseAudioRecordStream::Request request{"microphone", source_->name, spec, std::nullopt,
                                            std::max(tapBytes, fragmentBytes)};
    // A microphone that goes away ends the stream: the server would move it to the fallback
    // source, which without another input device is the monitor of a sink, and system audio
    // would then be recorded a second time as the microphone.
    request.movable = false;
    // The source's own channel order, so the first channel is the source's first.
    if (source_->channels.channels == spec.channels)
        request.channels = source_->channels;

    struct Outcome {
        bool done = false;
        std::optional<PlatformError> error;
    };
    auto outcome = std::make_shared<Outcome>();
    PulseAudioRecordStream::Handlers handlers;
    handlers.started = [outcome, connection = connection_.get()](std::optional<PlatformError> error) {
        *outcome = Outcome{true, std::move(error)};
        connection->signal();
    };
    // The stream is closed by stop() and the destructor, so no handler outlives `this`.
    handlers.data = [this](std::vector<std::uint8_t>& bytes) { deliver(bytes); };
    handlers.failed = [this](const PlatformError& error) {
        if (auto report = std::move(stopped_)) {
            stopped_ = nullptr;
            report(error);
        }
    };
    buffer_ = AudioBuffer{format, 0, {{}}};
    stopped_ = std::move(stopped);
    stream_ = std::make_shared<PulseAudioRecordStream>(*connection_, std::move(request), std::move(handlers));
    stream_->start(lock);
    const auto answered = [&] { return outcome->done; };
    if (!connection_->waitUntil(lock, answered, deadline) || outcome->error) {
        stream_->close(lock);
        stream_.reset();
        stopped_ = nullptr;
        // The source may be gone: ask again next time.
        source_.reset();
        if (outcome->error)
            throw *outcome->error;
        throw PulseAudioConnection::error(PA_ERR_TIMEOUT,
                                          "the PulseAudio server did not start the microphone stream in time");
    }
}

void PulseAudioEngine::stop()
{
    if (!stream_)
        return;
    PulseAudioConnection::Lock lock(*connection_);
    // Taps and reports run under the lock, so none is running now and none follows.
    stream_->close(lock);
    stream_.reset();
    stopped_ = nullptr;
}

void PulseAudioEngine::deliver(std::vector<std::uint8_t>& bytes)
{
    // Server fragments are larger than the tap's buffers (and a source that renders in
    // long blocks sends seconds at once): the tap gets equal slices of about its size.
    const std::size_t frameBytes = buffer_.format.bytesPerFrame();
    const std::size_t frames = bytes.size() / frameBytes;
    const std::size_t slices = (frames + bufferFrames_ - 1) / bufferFrames_;
    for (std::size_t slice = 0, at = 0; slice < slices && tap_ && stream_; ++slice) {
        const std::size_t end = frames * (slice + 1) / slices;
        buffer_.planes[0].assign(bytes.begin() + static_cast<std::ptrdiff_t>(at * frameBytes),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(end * frameBytes));
        buffer_.frameLength = static_cast<std::int64_t>(end - at);
        at = end;
        tap_(buffer_);
    }
}
