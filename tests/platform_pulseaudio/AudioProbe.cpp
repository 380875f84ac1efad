// velmar-audio-probe: drives the PulseAudio platform from standard input, one command a
// line, and answers each with one JSON line, so a test can kill and restart the sound
// server between two calls of the same process.
//
//   system RATE CHANNELS [nowait]   makes a system-audio stream and starts it; waits for the
//                                   start completion unless nowait
//   system-stop                     stops it and waits for the stop completion
//   system-drop                     destroys the stream object
//   engine-format                   the microphone's format
//   engine-start [FRAMES [again]]   a new engine: format, tap of FRAMES (1024), start; with
//                                   again, the engine of the last engine-format or
//                                   engine-start and the format it answered, not asked anew
//   engine-stop                     stops it
//   stats system|engine             what arrived since the last reset: buffers, frames,
//                                   format, level and frequency of each channel; and the
//                                   completions and stop reports since the start
//   reset system|engine             forgets what arrived so far
//   pipeline SECONDS PATH           records system audio and the microphone for SECONDS,
//                                   each converted to 16000 Hz mono, their sum written to
//                                   an AAC file; answers the process's CPU time for it
//
// Failures answer {"error":"...","code":N}.

#include "platform/linux/LinuxAudioFramework.hpp"
#include "platform/pulseaudio/PulseAudioSystemAudio.hpp"

#include "base/Json.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

double loadSample(const std::uint8_t* at, SampleType type)
{
    switch (type) {
    case SampleType::unsigned8:
        return (*at - 128.0) / 128.0;
    case SampleType::signed16: {
        std::int16_t v;
        std::memcpy(&v, at, 2);
        return v / 32768.0;
    }
    case SampleType::signed24:
    case SampleType::signed24In32: {
        std::uint32_t v = 0;
        std::memcpy(&v, at, 3);
        return static_cast<std::int32_t>(v << 8) / 2147483648.0;
    }
    case SampleType::signed32: {
        std::int32_t v;
        std::memcpy(&v, at, 4);
        return v / 2147483648.0;
    }
    case SampleType::float32: {
        float v;
        std::memcpy(&v, at, 4);
        return v;
    }
    case SampleType::float64: {
        double v;
        std::memcpy(&v, at, 8);
        return v;
    }
    }
    return 0;
}

// What one source delivered, gathered on the delivering thread.
struct Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id caller = std::this_thread::get_id();
    // Since the last reset.
    std::int64_t buffers = 0, frames = 0, smallest = 0, largest = 0;
    std::vector<double> squares;
    std::vector<std::int64_t> rises; // upward zero crossings per channel
    std::vector<double> last;
    std::optional<AudioFormat> format;
    // Since the start.
    int starts = 0, stops = 0, reports = 0;
    std::string startError, report;
    bool otherThreads = true;

    void noteThread() { otherThreads = otherThreads && std::this_thread::get_id() != caller; }

    void add(const AudioBuffer& buffer)
    {
        std::lock_guard lock(mutex);
        noteThread();
        const AudioFormat& f = buffer.format;
        if (!format || *format != f) {
            format = f;
            squares.assign(static_cast<std::size_t>(f.channelCount), 0);
            rises.assign(static_cast<std::size_t>(f.channelCount), 0);
            last.assign(static_cast<std::size_t>(f.channelCount), 0);
        }
        ++buffers;
        frames += buffer.frameLength;
        smallest = buffers == 1 ? buffer.frameLength : std::min(smallest, buffer.frameLength);
        largest = std::max(largest, buffer.frameLength);
        const std::size_t size = f.bytesPerSample();
        for (int channel = 0; channel < f.channelCount; ++channel) {
            const auto& plane = buffer.planes[f.interleaved ? 0 : static_cast<std::size_t>(channel)];
            const std::size_t stride = f.interleaved ? static_cast<std::size_t>(f.channelCount) : 1;
            const std::size_t offset = f.interleaved ? static_cast<std::size_t>(channel) : 0;
            auto& previous = last[static_cast<std::size_t>(channel)];
            for (std::int64_t frame = 0; frame < buffer.frameLength; ++frame) {
                const double v = loadSample(plane.data() + (static_cast<std::size_t>(frame) * stride + offset) * size,
                                            f.sampleType);
                squares[static_cast<std::size_t>(channel)] += v * v;
                if (previous < 0 && v >= 0)
                    ++rises[static_cast<std::size_t>(channel)];
                previous = v;
            }
        }
        changed.notify_all();
    }

    void reset()
    {
        std::lock_guard lock(mutex);
        buffers = frames = smallest = largest = 0;
        std::fill(squares.begin(), squares.end(), 0);
        std::fill(rises.begin(), rises.end(), 0);
    }

    Json stats()
    {
        std::lock_guard lock(mutex);
        Json answer = {{"buffers", buffers},           {"frames", frames}, {"smallest", smallest},
                       {"largest", largest},           {"starts", starts}, {"stops", stops},
                       {"reports", reports},           {"report", report}, {"start_error", startError},
                       {"other_threads", otherThreads}};
        if (format) {
            answer["format"] = {{"rate", format->sampleRate},
                                {"channels", format->channelCount},
                                {"type", format->description()},
                                {"interleaved", format->interleaved}};
            Json levels = Json::array(), frequencies = Json::array();
            for (std::size_t channel = 0; channel < squares.size(); ++channel) {
                levels.push_back(frames ? std::sqrt(squares[channel] / static_cast<double>(frames)) : 0.0);
                frequencies.push_back(frames ? static_cast<double>(rises[channel]) * format->sampleRate
                                              / static_cast<double>(frames)
                                             : 0.0);
            }
            answer["levels"] = levels;
            answer["frequencies"] = frequencies;
        }
        return answer;
    }

    // Waits until the condition holds, with `mutex` held, for at most the time given.
    template <typename Condition> bool waitFor(std::chrono::milliseconds time, Condition condition)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, time, condition);
    }
};

Json failure(const PlatformError& error) { return {{"error", error.description}, {"code", error.code}}; }

Json formatJson(const AudioFormat& format)
{
    return {{"rate", format.sampleRate}, {"channels", format.channelCount}, {"type", format.description()}};
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Probe {
public:
    Json run(const std::string& line)
    {
        std::istringstream words(line);
        std::string command;
        words >> command;
        try {
            if (command == "system") {
                int rate = 0, channels = 0;
                std::string wait;
                words >> rate >> channels >> wait;
                return startSystem(rate, channels, wait != "nowait");
            }
            if (command == "system-stop")
                return stopSystem();
            if (command == "system-drop") {
                stream_.reset();
                return {{"dropped", true}};
            }
            if (command == "engine-format") {
                engine_ = audio_.makeEngine();
                engineFormat_ = engine_->inputFormat();
                return formatJson(engineFormat_);
            }
            if (command == "engine-start") {
                std::uint32_t frames = 1024;
                std::string again;
                words >> frames >> again;
                return startEngine(frames, again == "again");
            }
            if (command == "engine-stop") {
                if (engine_)
                    engine_->stop();
                return {{"stopped", true}};
            }
            if (command == "stats") {
                std::string which;
                words >> which;
                return (which == "engine" ? microphone_ : system_).stats();
            }
            if (command == "reset") {
                std::string which;
                words >> which;
                (which == "engine" ? microphone_ : system_).reset();
                return {{"reset", true}};
            }
            if (command == "pipeline") {
                double seconds = 0;
                std::string path;
                words >> seconds >> path;
                return pipeline(seconds, path);
            }
            return {{"error", "unknown command " + command}};
        } catch (const PlatformError& error) {
            return failure(error);
        }
    }

private:
    Json startSystem(int rate, int channels, bool wait)
    {
        AudioStreamConfiguration configuration;
        configuration.sampleRate = rate;
        configuration.channelCount = channels;
        stream_ = systemAudio_.makeStream(ContentFilter{}, configuration, [this](const PlatformError& error) {
            std::lock_guard lock(system_.mutex);
            system_.noteThread();
            ++system_.reports;
            system_.report = error.description;
            system_.changed.notify_all();
        });
        stream_->addAudioOutput([this](AudioBuffer buffer) { system_.add(buffer); });
        const int before = system_.starts;
        stream_->startCapture([this](std::optional<PlatformError> error) {
            std::lock_guard lock(system_.mutex);
            system_.noteThread();
            ++system_.starts;
            system_.startError = error ? error->description : "";
            system_.changed.notify_all();
        });
        if (!wait)
            return {{"asked", true}};
        if (!system_.waitFor(std::chrono::seconds(15), [&] { return system_.starts > before; }))
            return {{"error", "no start completion within 15 s"}};
        std::lock_guard lock(system_.mutex);
        if (!system_.startError.empty())
            return {{"error", system_.startError}};
        return {{"started", true}};
    }

    Json stopSystem()
    {
        if (!stream_)
            return {{"error", "no stream"}};
        const int before = system_.stops;
        stream_->stopCapture([this] {
            std::lock_guard lock(system_.mutex);
            system_.noteThread();
            ++system_.stops;
            system_.changed.notify_all();
        });
        if (!system_.waitFor(std::chrono::seconds(15), [&] { return system_.stops > before; }))
            return {{"error", "no stop completion within 15 s"}};
        return {{"stopped", true}};
    }

    Json startEngine(std::uint32_t frames, bool again)
    {
        if (!again || !engine_) {
            engine_ = audio_.makeEngine();
            engineFormat_ = engine_->inputFormat();
        }
        const AudioFormat format = engineFormat_;
        if (!(format.sampleRate > 0) || format.channelCount < 1)
            return {{"error", "no microphone input device"}};
        engine_->installTap(frames, format, [this](const AudioBuffer& buffer) { microphone_.add(buffer); });
        engine_->start([this](const PlatformError& error) {
            std::lock_guard lock(microphone_.mutex);
            microphone_.noteThread();
            ++microphone_.reports;
            microphone_.report = error.description;
            microphone_.changed.notify_all();
        });
        return {{"started", true}, {"format", formatJson(format)}};
    }

    // The recorder's work without its queue: both sources converted on their threads, the
    // system audio as the clock of a plain sum written to the file.
    Json pipeline(double seconds, const std::string& path)
    {
        const AudioFormat target = AudioFormat::standard(16000, 1);
        std::mutex mutex;
        std::vector<float> microphoneQueue;
        std::unique_ptr<AudioConverter> systemConverter, microphoneConverter;
        std::unique_ptr<AudioFile> file = audio_.openForWriting(path, AudioFileSettings{});
        std::int64_t written = 0;
        const auto convert = [&](std::unique_ptr<AudioConverter>& converter, const AudioBuffer& buffer) {
            if (!converter || converter->inputFormat() != buffer.format)
                converter = audio_.makeConverter(buffer.format, target);
            std::vector<float> out(static_cast<std::size_t>(std::ceil(16000.0 / buffer.format.sampleRate
                                                                      * static_cast<double>(buffer.frameLength)))
                                   + 64);
            std::uint32_t made = 0;
            if (!converter || converter->convert(buffer, out, made) == AudioConverter::Status::error)
                made = 0;
            out.resize(made);
            return out;
        };

        AudioStreamConfiguration configuration;
        auto stream = systemAudio_.makeStream(ContentFilter{}, configuration, [](const PlatformError&) {});
        stream->addAudioOutput([&](AudioBuffer buffer) {
            auto samples = convert(systemConverter, buffer);
            std::lock_guard lock(mutex);
            const std::size_t mixed = std::min(samples.size(), microphoneQueue.size());
            for (std::size_t i = 0; i < mixed; ++i)
                samples[i] += microphoneQueue[i];
            microphoneQueue.erase(microphoneQueue.begin(),
                                  microphoneQueue.begin() + static_cast<std::ptrdiff_t>(mixed));
            file->write(samples);
            written += static_cast<std::int64_t>(samples.size());
        });
        auto engine = audio_.makeEngine();
        const AudioFormat format = engine->inputFormat();
        engine->installTap(1024, format, [&](const AudioBuffer& buffer) {
            auto samples = convert(microphoneConverter, buffer);
            std::lock_guard lock(mutex);
            if (microphoneQueue.size() < 160000)
                microphoneQueue.insert(microphoneQueue.end(), samples.begin(), samples.end());
        });

        const double before = cpuSeconds();
        std::promise<std::optional<PlatformError>> started;
        stream->startCapture([&](std::optional<PlatformError> error) { started.set_value(error); });
        if (auto error = started.get_future().get())
            return failure(*error);
        if (format.sampleRate > 0)
            engine->start([](const PlatformError&) {});
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        engine->stop();
        std::promise<void> stopped;
        stream->stopCapture([&] { stopped.set_value(); });
        stopped.get_future().wait();
        stream.reset();
        file->finish();
        const double cpu = cpuSeconds() - before;
        return {{"cpu_seconds", cpu},
                {"audio_seconds", static_cast<double>(written) / 16000.0},
                {"microphone", format.sampleRate > 0}};
    }

    std::shared_ptr<PulseAudioConnection> connection_ = std::make_shared<PulseAudioConnection>();
    PulseAudioSystemAudio systemAudio_{connection_};
    LinuxAudioFramework audio_{connection_};
    Capture system_, microphone_;
    std::unique_ptr<SystemAudioStream> stream_;
    std::unique_ptr<AudioEngine> engine_;
    AudioFormat engineFormat_;
};

}

int main()
{
    Probe probe;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty())
            continue;
        std::cout << probe.run(line).dump() << std::endl;
    }
}
