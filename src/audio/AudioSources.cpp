#include "audio/AudioRecorder.hpp"

#include "capture/Handoff.hpp"
#include "capture/ScreenCapture.hpp"
#include "permissions/Permissions.hpp"
#include "platform/Displays.hpp"
#include "platform/Platform.hpp"
#include "platform/SystemVersion.hpp"

#include <algorithm>
#include <cmath>
#include <semaphore>

namespace {

constexpr auto startWait = std::chrono::seconds(10);
constexpr std::uint32_t tapBufferSize = 1024;
// A source that has delivered nothing for this long no longer holds the clock: longer than
// the bursts some sources deliver in (2 s), and less than the 3 s that the other source may
// queue, so its backlog is written whole.
constexpr auto stall = std::chrono::milliseconds(2500);

const std::string productName = "Velmar Computer Use";

}

std::vector<float> AudioRecorder::convert(const AudioBuffer& buffer, AudioConverter& converter)
{
    const double rate = buffer.format.sampleRate;
    if (!(rate > 0) || buffer.frameLength <= 0)
        return {};
    // Room for the frames the converter held back from earlier buffers, too.
    const double capacity = std::ceil(sampleRate / rate * static_cast<double>(buffer.frameLength)) + 64;
    if (!(capacity < 4294967296.0))
        return {};
    std::vector<float> output(static_cast<std::size_t>(capacity));
    std::uint32_t frames = 0;
    const auto status = converter.convert(buffer, output, frames);
    if (status == AudioConverter::Status::error || frames == 0)
        return {};
    output.resize(std::min<std::size_t>(frames, output.size()));
    return output;
}

void AudioRecorder::startSystem(std::uint64_t recording)
{
    if (!platform_.systemVersion.isAtLeast(13, 0, 0))
        throw Failure("system audio capture needs macOS 13 or later");
    if (permissions_.contentState() == Permissions::ScreenState::denied)
        throw Failure("Screen Recording is off for " + productName);

    ShareableContent content;
    try {
        content = awaitHandoff<ShareableContent>(
            platform_.clock, startWait,
            [&](ScreenCaptureFramework::ContentCompletion completion) {
                platform_.screenCapture.getShareableContent(true, true, std::move(completion));
            },
            std::make_exception_ptr(Failure("ScreenCaptureKit returned neither content nor an error")),
            [] { return Failure("ScreenCaptureKit did not list the shareable content within 10 s"); });
    } catch (const Failure&) {
        throw;
    } catch (...) {
        throw Failure(describe(std::current_exception()));
    }

    if (content.displays.empty())
        throw Failure("ScreenCaptureKit lists no display");
    const std::uint32_t mainID = platform_.displays.mainDisplayID();
    const auto chosen = std::find_if(content.displays.begin(), content.displays.end(),
                                     [&](const ShareableDisplay& display) { return display.displayID == mainID; });
    const ShareableDisplay& display = chosen != content.displays.end() ? *chosen : content.displays.front();

    const std::weak_ptr<AudioRecorder> weak = weak_from_this();
    auto stream = platform_.systemAudio.makeStream(
        platform_.screenCapture.filter(display), AudioStreamConfiguration{}, [weak, recording](const PlatformError& error) {
            if (auto self = weak.lock()) {
                auto described = std::make_exception_ptr(error);
                self->queue_.async([weak, described, recording] {
                    if (auto self = weak.lock())
                        self->systemStopped(described, recording);
                });
            }
        });
    stream->addAudioOutput([weak, recording](AudioBuffer buffer) {
        if (auto self = weak.lock()) {
            self->queue_.async([weak, buffer = std::move(buffer), recording] {
                if (auto self = weak.lock())
                    self->receiveSystem(buffer, recording);
            });
        }
    });

    // The completion may come after the wait gave up: it touches only the shared box.
    struct Started {
        std::optional<std::optional<PlatformError>> result;
        std::counting_semaphore<> signal{0};
    };
    auto started = std::make_shared<Started>();
    stream->startCapture([started](std::optional<PlatformError> error) {
        started->result = std::move(error);
        started->signal.release();
    });
    if (!platform_.clock.waitUntil(started->signal, platform_.clock.now() + startWait) || !started->result)
        throw Failure("ScreenCaptureKit did not start the audio stream within 10 s");
    if (*started->result)
        throw Failure(describe(std::make_exception_ptr(**started->result)));
    stream_ = std::move(stream);
    systemHeardAt_ = platform_.clock.now();
}

void AudioRecorder::receiveSystem(const AudioBuffer& buffer, std::uint64_t recording)
{
    if (!isCurrent(recording) || buffer.frameLength <= 0)
        return;
    // A converter carries its filter state from buffer to buffer; only a change of format
    // replaces it.
    if (!systemConverter_ || systemConverter_->inputFormat() != buffer.format)
        systemConverter_ = platform_.audio.makeConverter(buffer.format, format());
    if (!systemConverter_)
        return;
    auto samples = convert(buffer, *systemConverter_);
    if (samples.empty())
        return;
    lastSystemAt_ = platform_.clock.date();
    systemHeardAt_ = platform_.clock.now();
    // A microphone that delivers nothing (a device that went quiet, a suspended source)
    // would hold back everything, as the clock: system audio takes over.
    if (clock_ == Clock::microphone && (!engine_ || systemHeardAt_ - microphoneHeardAt_ > stall))
        handClockTo(Clock::system);
    route(std::move(samples), Source::system);
}

void AudioRecorder::systemStopped(const std::exception_ptr& error, std::uint64_t recording)
{
    if (!isCurrent(recording) || !stream_)
        return;
    const std::string text = describe(error);
    systemState_ = "error: " + text;
    stream_.reset();
    systemConverter_.reset();
    systemFIFO_.clear();
    if (microphoneState_ == "on") {
        handClockTo(Clock::microphone);
        return;
    }
    fail("the system audio stream stopped: " + text);
}

void AudioRecorder::startMicrophone(std::uint64_t recording)
{
    if (permissions_.microphoneState() != Permissions::ScreenState::granted)
        throw Failure("the microphone is not granted to " + productName);
    auto engine = platform_.audio.makeEngine();
    const AudioFormat device = engine->inputFormat();
    if (!(device.sampleRate > 0) || device.channelCount < 1)
        throw Failure("no microphone input device");
    auto converter = platform_.audio.makeConverter(device, format());
    if (!converter)
        throw Failure("the microphone format " + device.description() + " cannot be converted");

    const std::weak_ptr<AudioRecorder> weak = weak_from_this();
    // The engine reuses its buffer once the tap returns: the copy crosses threads.
    engine->installTap(tapBufferSize, device, [weak, recording](const AudioBuffer& buffer) {
        if (auto self = weak.lock()) {
            self->queue_.async([weak, copy = AudioBuffer(buffer), recording] {
                if (auto self = weak.lock())
                    self->receiveMicrophone(copy, recording);
            });
        }
    });
    try {
        engine->start([weak, recording](const PlatformError& error) {
            if (auto self = weak.lock()) {
                self->queue_.async([weak, error, recording] {
                    if (auto self = weak.lock())
                        self->microphoneStopped(error, recording);
                });
            }
        });
    } catch (const PlatformError& error) {
        engine->removeTap();
        throw Failure("the microphone engine did not start: " + error.description);
    }
    microphoneConverter_ = std::move(converter);
    engine_ = std::move(engine);
    microphoneHeardAt_ = platform_.clock.now();
    systemHeardAt_ = microphoneHeardAt_;
}

void AudioRecorder::receiveMicrophone(const AudioBuffer& buffer, std::uint64_t recording)
{
    if (!isCurrent(recording) || !microphoneConverter_)
        return;
    auto samples = convert(buffer, *microphoneConverter_);
    if (samples.empty())
        return;
    lastMicrophoneAt_ = platform_.clock.date();
    microphoneHeardAt_ = platform_.clock.now();
    // The same the other way: system audio that went quiet (a suspended output, a stream
    // the server no longer feeds) hands the clock to the microphone.
    if (clock_ == Clock::system && (!stream_ || microphoneHeardAt_ - systemHeardAt_ > stall))
        handClockTo(Clock::microphone);
    route(std::move(samples), Source::microphone);
}

void AudioRecorder::microphoneStopped(const PlatformError& error, std::uint64_t recording)
{
    if (!isCurrent(recording) || !engine_)
        return;
    // A microphone that stopped delivering would otherwise hold the recording: as the
    // clock, it alone lets anything be written.
    const std::string text = describe(std::make_exception_ptr(error));
    microphoneState_ = "error: " + text;
    engine_->removeTap();
    engine_->stop();
    engine_.reset();
    microphoneConverter_.reset();
    microphoneFIFO_.clear();
    if (systemState_ != "on") {
        fail("the microphone stopped: " + text);
        return;
    }
    handClockTo(Clock::system);
}

void AudioRecorder::handClockTo(Clock clock)
{
    // Starting with what the new clock queued meanwhile, so none of it is lost.
    clock_ = clock;
    std::vector<float>& queued = clock == Clock::system ? systemFIFO_ : microphoneFIFO_;
    std::vector<float>& other = clock == Clock::system ? microphoneFIFO_ : systemFIFO_;
    if (!queued.empty()) {
        std::vector<float> backlog = std::move(queued);
        queued.clear();
        mixAndWrite(backlog, other);
    }
}
