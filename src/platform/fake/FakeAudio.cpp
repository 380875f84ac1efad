#include "platform/fake/FakeAudio.hpp"

#include <cmath>
#include <cstring>

namespace {

void storeSample(std::uint8_t* at, SampleType type, float value)
{
    switch (type) {
    case SampleType::unsigned8: *at = static_cast<std::uint8_t>(std::lround(value * 127.0f) + 128); break;
    case SampleType::signed16: {
        const auto v = static_cast<std::int16_t>(std::lround(value * 32767.0f));
        std::memcpy(at, &v, 2);
        break;
    }
    case SampleType::signed24:
    case SampleType::signed24In32: {
        const auto v = static_cast<std::int32_t>(std::lround(value * 8388607.0f));
        std::memset(at, 0, type == SampleType::signed24 ? 3 : 4);
        std::memcpy(at, &v, 3);
        break;
    }
    case SampleType::signed32: {
        const auto v = static_cast<std::int32_t>(std::llround(static_cast<double>(value) * 2147483647.0));
        std::memcpy(at, &v, 4);
        break;
    }
    case SampleType::float32: std::memcpy(at, &value, 4); break;
    case SampleType::float64: {
        const double v = value;
        std::memcpy(at, &v, 8);
        break;
    }
    }
}

float loadSample(const std::uint8_t* at, SampleType type)
{
    switch (type) {
    case SampleType::unsigned8: return (static_cast<float>(*at) - 128.0f) / 128.0f;
    case SampleType::signed16: {
        std::int16_t v;
        std::memcpy(&v, at, 2);
        return static_cast<float>(v) / 32768.0f;
    }
    case SampleType::signed24:
    case SampleType::signed24In32: {
        std::int32_t v = 0;
        std::memcpy(&v, at, 3);
        v = (v << 8) >> 8;
        return static_cast<float>(v) / 8388608.0f;
    }
    case SampleType::signed32: {
        std::int32_t v;
        std::memcpy(&v, at, 4);
        return static_cast<float>(static_cast<double>(v) / 2147483648.0);
    }
    case SampleType::float32: {
        float v;
        std::memcpy(&v, at, 4);
        return v;
    }
    case SampleType::float64: {
        double v;
        std::memcpy(&v, at, 8);
        return static_cast<float>(v);
    }
    }
    return 0;
}

}

AudioBuffer makeFakeBuffer(const AudioFormat& format, const std::vector<float>& samples)
{
    AudioBuffer buffer;
    buffer.format = format;
    buffer.frameLength = static_cast<std::int64_t>(samples.size());
    const std::size_t planes = format.interleaved ? 1 : static_cast<std::size_t>(format.channelCount);
    const std::size_t perPlane = format.interleaved ? static_cast<std::size_t>(format.channelCount) : 1;
    const std::size_t sampleBytes = format.bytesPerSample();
    buffer.planes.assign(planes, std::vector<std::uint8_t>(samples.size() * format.bytesPerFrame()));
    for (auto& plane : buffer.planes)
        for (std::size_t frame = 0; frame < samples.size(); ++frame)
            for (std::size_t channel = 0; channel < perPlane; ++channel)
                storeSample(plane.data() + (frame * perPlane + channel) * sampleBytes, format.sampleType, samples[frame]);
    return buffer;
}

class FakeConverter final : public AudioConverter {
public:
    FakeConverter(FakeAudioFramework& owner, AudioFormat from, AudioFormat to)
        : owner_(owner), from_(from), step_(from.sampleRate / to.sampleRate)
    {
    }

    const AudioFormat& inputFormat() const override { return from_; }

    Status convert(const AudioBuffer& input, std::span<float> output, std::uint32_t& frameLength) override
    {
        frameLength = 0;
        {
            std::lock_guard lock(owner_.mutex_);
            if (owner_.converterFails_)
                return Status::error;
        }
        // The first channel, resampled by picking the frame at or before each position.
        const std::size_t stride = from_.interleaved ? static_cast<std::size_t>(from_.channelCount) : 1;
        const std::uint8_t* first = input.planes.empty() ? nullptr : input.planes[0].data();
        for (; first && position_ < static_cast<double>(input.frameLength); position_ += step_) {
            const auto frame = static_cast<std::size_t>(position_);
            held_.push_back(loadSample(first + frame * stride * from_.bytesPerSample(), from_.sampleType));
        }
        position_ -= static_cast<double>(input.frameLength);
        const std::size_t count = std::min(held_.size(), output.size());
        std::copy_n(held_.begin(), count, output.begin());
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
        frameLength = static_cast<std::uint32_t>(count);
        return count ? Status::haveData : Status::inputRanDry;
    }

private:
    FakeAudioFramework& owner_;
    AudioFormat from_;
    double step_;
    double position_ = 0;
    std::vector<float> held_;
};

void FakeAudioFramework::prepare()
{
    std::lock_guard lock(mutex_);
    if (prepareError_)
        throw *prepareError_;
}

std::unique_ptr<AudioConverter> FakeAudioFramework::makeConverter(const AudioFormat& from, const AudioFormat& to)
{
    std::lock_guard lock(mutex_);
    if (!(from.sampleRate > 0) || from.channelCount < 1 || !(to.sampleRate > 0) || from == unconvertible_)
        return nullptr;
    ++counts_.convertersMade;
    return std::make_unique<FakeConverter>(*this, from, to);
}

class FakeEngine final : public AudioEngine {
public:
    explicit FakeEngine(FakeAudioFramework& owner) : owner_(owner) {}
    ~FakeEngine() override { stop(); }

    AudioFormat inputFormat() override
    {
        std::lock_guard lock(owner_.mutex_);
        return owner_.microphoneFormat_;
    }
    void installTap(std::uint32_t bufferSize, const AudioFormat&, TapBlock block) override
    {
        std::lock_guard lock(owner_.mutex_);
        ++owner_.counts_.tapsInstalled;
        owner_.tapBufferSize_ = bufferSize;
        tap_ = std::move(block);
    }
    void removeTap() override
    {
        std::lock_guard lock(owner_.mutex_);
        ++owner_.counts_.tapsRemoved;
        tap_ = nullptr;
        if (running_)
            owner_.tap_ = nullptr;
    }
    void start(StopReport stopped) override
    {
        std::lock_guard lock(owner_.mutex_);
        if (owner_.microphoneStartError_)
            throw *owner_.microphoneStartError_;
        ++owner_.counts_.enginesStarted;
        running_ = true;
        owner_.engineRunning_ = true;
        owner_.tap_ = tap_;
        owner_.stopReport_ = std::move(stopped);
    }
    void stop() override
    {
        std::lock_guard lock(owner_.mutex_);
        if (!running_)
            return;
        running_ = false;
        ++owner_.counts_.enginesStopped;
        owner_.engineRunning_ = false;
        owner_.tap_ = nullptr;
        owner_.stopReport_ = nullptr;
    }

private:
    FakeAudioFramework& owner_;
    TapBlock tap_;
    bool running_ = false;
};

std::unique_ptr<AudioEngine> FakeAudioFramework::makeEngine()
{
    std::lock_guard lock(mutex_);
    ++counts_.enginesMade;
    return std::make_unique<FakeEngine>(*this);
}

class FakeFile final : public AudioFile {
public:
    FakeFile(FakeAudioFramework& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    ~FakeFile() override
    {
        if (!finished_)
            close();
    }

    const std::string& path() const override { return path_; }

    void write(std::span<const float> samples) override
    {
        std::optional<std::size_t> limit;
        PlatformError error("", 0, "");
        {
            std::lock_guard lock(owner_.mutex_);
            limit = owner_.writeLimit_;
            error = owner_.writeError_;
        }
        bool refused = false;
        owner_.fileSystem_.update(path_, [&](FakeFileSystem::File& file) {
            if (limit && file.samples.size() + samples.size() > *limit) {
                refused = true;
                return;
            }
            if (refusedWith_)
                return;
            file.samples.insert(file.samples.end(), samples.begin(), samples.end());
            file.size = static_cast<std::int64_t>(file.samples.size()) * 4;
        });
        if (refused) {
            refusedWith_ = error;
            throw error;
        }
        if (refusedWith_)
            throw *refusedWith_;
    }

    std::int64_t finish() override
    {
        finished_ = true;
        std::optional<PlatformError> error;
        {
            std::lock_guard lock(owner_.mutex_);
            error = owner_.finishError_;
        }
        if (error)
            throw *error;
        close();
        std::int64_t frames = 0;
        owner_.fileSystem_.update(path_, [&](FakeFileSystem::File& file) {
            frames = static_cast<std::int64_t>(file.samples.size());
        });
        return frames;
    }

private:
    void close()
    {
        {
            std::lock_guard lock(owner_.mutex_);
            ++owner_.counts_.filesFinished;
        }
        // A finished file carries its container: some bytes beyond the samples.
        owner_.fileSystem_.update(path_, [](FakeFileSystem::File& file) {
            file.finished = true;
            file.size = static_cast<std::int64_t>(file.samples.size()) * 4 + 600;
        });
    }

    FakeAudioFramework& owner_;
    std::string path_;
    bool finished_ = false;
    // The error of the write that was refused: as with the real writer, every later write
    // reports it again.
    std::optional<PlatformError> refusedWith_;
};

std::unique_ptr<AudioFile> FakeAudioFramework::openForWriting(const std::string& path, const AudioFileSettings& settings)
{
    {
        std::lock_guard lock(mutex_);
        if (openError_)
            throw *openError_;
        ++counts_.filesOpened;
        fileSettings_.push_back(settings);
    }
    fileSystem_.putFile(path, FakeFileSystem::File{});
    return std::make_unique<FakeFile>(*this, path);
}

void FakeAudioFramework::setMicrophoneFormat(AudioFormat format)
{
    std::lock_guard lock(mutex_);
    microphoneFormat_ = format;
}

void FakeAudioFramework::setMicrophoneStartError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    microphoneStartError_ = std::move(error);
}

void FakeAudioFramework::refuseConversionFrom(std::optional<AudioFormat> format)
{
    std::lock_guard lock(mutex_);
    unconvertible_ = format;
}

void FakeAudioFramework::setConverterFails(bool fails)
{
    std::lock_guard lock(mutex_);
    converterFails_ = fails;
}

void FakeAudioFramework::setPrepareError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    prepareError_ = std::move(error);
}

void FakeAudioFramework::setOpenError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    openError_ = std::move(error);
}

void FakeAudioFramework::setWriteLimit(std::optional<std::size_t> samples, PlatformError error)
{
    std::lock_guard lock(mutex_);
    writeLimit_ = samples;
    writeError_ = std::move(error);
}

void FakeAudioFramework::setFinishError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    finishError_ = std::move(error);
}

bool FakeAudioFramework::deliverMicrophone(const AudioBuffer& buffer)
{
    AudioEngine::TapBlock tap;
    {
        std::lock_guard lock(mutex_);
        if (!engineRunning_ || !tap_)
            return false;
        tap = tap_;
    }
    tap(buffer);
    return true;
}

bool FakeAudioFramework::stopMicrophoneWithError(const PlatformError& error)
{
    AudioEngine::StopReport report;
    {
        std::lock_guard lock(mutex_);
        if (!engineRunning_ || !stopReport_)
            return false;
        report = std::move(stopReport_);
        stopReport_ = nullptr;
    }
    report(error);
    return true;
}

FakeAudioFramework::Counts FakeAudioFramework::counts() const
{
    std::lock_guard lock(mutex_);
    return counts_;
}

std::vector<AudioFileSettings> FakeAudioFramework::fileSettings() const
{
    std::lock_guard lock(mutex_);
    return fileSettings_;
}

std::optional<std::uint32_t> FakeAudioFramework::tapBufferSize() const
{
    std::lock_guard lock(mutex_);
    return tapBufferSize_;
}

class FakeStream final : public SystemAudioStream {
public:
    explicit FakeStream(FakeSystemAudio& owner) : owner_(owner)
    {
        std::lock_guard lock(owner_.mutex_);
        ++owner_.alive_;
    }
    ~FakeStream() override
    {
        std::lock_guard lock(owner_.mutex_);
        --owner_.alive_;
        owner_.started_ = false;
        owner_.handler_ = nullptr;
        owner_.didStop_ = nullptr;
    }

    void addAudioOutput(SampleHandler handler) override
    {
        std::lock_guard lock(owner_.mutex_);
        if (owner_.addOutputError_)
            throw *owner_.addOutputError_;
        owner_.handler_ = std::move(handler);
    }

    void startCapture(StartCompletion completion) override
    {
        FakeSystemAudio::StartAnswer answer;
        PlatformError error("", 0, "");
        {
            std::lock_guard lock(owner_.mutex_);
            answer = owner_.startAnswer_;
            error = owner_.startError_;
            owner_.started_ = answer == FakeSystemAudio::StartAnswer::success;
        }
        if (answer == FakeSystemAudio::StartAnswer::success)
            completion(std::nullopt);
        else if (answer == FakeSystemAudio::StartAnswer::error)
            completion(error);
    }

    void stopCapture(StopCompletion completion) override
    {
        bool confirm;
        {
            std::lock_guard lock(owner_.mutex_);
            ++owner_.stopsAsked_;
            owner_.started_ = false;
            confirm = owner_.stopAnswer_ == FakeSystemAudio::StopAnswer::confirm;
        }
        if (confirm)
            completion();
    }

private:
    FakeSystemAudio& owner_;
};

std::unique_ptr<SystemAudioStream> FakeSystemAudio::makeStream(const ContentFilter& filter,
                                                               const AudioStreamConfiguration& configuration,
                                                               StopReport didStop)
{
    auto stream = std::make_unique<FakeStream>(*this);
    std::lock_guard lock(mutex_);
    made_.push_back(Made{filter, configuration});
    didStop_ = std::move(didStop);
    return stream;
}

void FakeSystemAudio::setAddOutputError(std::optional<PlatformError> error)
{
    std::lock_guard lock(mutex_);
    addOutputError_ = std::move(error);
}

void FakeSystemAudio::setStartAnswer(StartAnswer answer, PlatformError error)
{
    std::lock_guard lock(mutex_);
    startAnswer_ = answer;
    startError_ = std::move(error);
}

void FakeSystemAudio::setStopAnswer(StopAnswer answer)
{
    std::lock_guard lock(mutex_);
    stopAnswer_ = answer;
}

bool FakeSystemAudio::deliver(AudioBuffer buffer)
{
    SystemAudioStream::SampleHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || !handler_)
            return false;
        handler = handler_;
    }
    handler(std::move(buffer));
    return true;
}

bool FakeSystemAudio::reportStop(const PlatformError& error)
{
    SystemAudio::StopReport report;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || !didStop_)
            return false;
        report = didStop_;
        started_ = false;
    }
    report(error);
    return true;
}

std::vector<FakeSystemAudio::Made> FakeSystemAudio::streamsMade() const
{
    std::lock_guard lock(mutex_);
    return made_;
}

int FakeSystemAudio::stopsAsked() const
{
    std::lock_guard lock(mutex_);
    return stopsAsked_;
}

bool FakeSystemAudio::streamAlive() const
{
    std::lock_guard lock(mutex_);
    return alive_ > 0;
}
