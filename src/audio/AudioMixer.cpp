#include "audio/AudioRecorder.hpp"

#include "platform/Platform.hpp"

#include <algorithm>
#include <cmath>

namespace {

// The queued source may run ahead of the clock by 3 s; beyond that its backlog is cut to
// its newest second, which bounds both memory and the lag of what it adds.
constexpr std::size_t fifoLimit = 48000;
constexpr std::size_t fifoKept = 16000;

}

void AudioRecorder::enqueue(std::span<const float> block, std::vector<float>& fifo)
{
    fifo.insert(fifo.end(), block.begin(), block.end());
    if (fifo.size() > fifoLimit)
        fifo.erase(fifo.begin(), fifo.end() - static_cast<std::ptrdiff_t>(fifoKept));
}

float AudioRecorder::mix(std::vector<float>& block, std::vector<float>& fifo)
{
    const std::size_t mixed = std::min(block.size(), fifo.size());
    for (std::size_t i = 0; i < mixed; ++i)
        block[i] = fifo[i] + block[i];
    fifo.erase(fifo.begin(), fifo.begin() + static_cast<std::ptrdiff_t>(mixed));

    float squares = 0;
    for (float& sample : block) {
        sample = std::isnan(sample) ? 1.0f : std::max(std::min(sample, 1.0f), -1.0f);
        squares += sample * sample;
    }
    const float length = static_cast<float>(std::max<std::size_t>(block.size(), 1));
    return std::min(std::sqrt(squares / length) * 4.0f, 1.0f);
}

void AudioRecorder::route(std::vector<float> block, Source source)
{
    const bool isClock = (source == Source::system) == (clock_ == Clock::system);
    std::vector<float>& own = source == Source::system ? systemFIFO_ : microphoneFIFO_;
    std::vector<float>& other = source == Source::system ? microphoneFIFO_ : systemFIFO_;
    if (isClock)
        mixAndWrite(block, other);
    else
        enqueue(block, own);
}

void AudioRecorder::mixAndWrite(std::vector<float>& block, std::vector<float>& fifo)
{
    level_ = mix(block, fifo);
    lastAudioAt_ = platform_.clock.date();
    write(block);
}

void AudioRecorder::write(std::span<const float> samples)
{
    // A block is split at a part boundary: its rest opens the next part, so every part
    // but the last holds exactly partFrames_ frames.
    while (!samples.empty() && running_) {
        if (!file_) {
            openPart();
            if (!file_)
                return;
        }
        const std::int64_t room = partFrames_ - fileFrames_;
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(samples.size()), room));
        if (count < 1)
            return;
        try {
            file_->write(samples.first(count));
        } catch (const PlatformError& error) {
            fail("could not write the audio part: " + error.description);
            return;
        }
        fileFrames_ += static_cast<std::int64_t>(count);
        samples = samples.subspan(count);
        if (fileFrames_ >= partFrames_)
            closePart();
    }
}
