#pragma once

#include "platform/Audio.hpp"

#include <memory>
#include <vector>

struct SwrContext;

// A converter on libswresample from any PCM format to mono 32-bit float. Only the first
// channel is kept (no downmix): it is picked out before resampling, so the resampler
// filters one channel whatever the source has. The resampler's state carries from call to
// call, and frames that do not fit the output stay inside it for the next call.
class FFmpegAudioConverter final : public AudioConverter {
public:
    // Nothing when no conversion exists: a source without rate or channels, or a target
    // that is not mono 32-bit float.
    static std::unique_ptr<FFmpegAudioConverter> make(const AudioFormat& from, const AudioFormat& to);
    ~FFmpegAudioConverter() override;

    const AudioFormat& inputFormat() const override { return from_; }
    Status convert(const AudioBuffer& input, std::span<float> output, std::uint32_t& frameLength) override;

private:
    FFmpegAudioConverter(const AudioFormat& from, SwrContext* resampler);
    // The first channel of the input as contiguous samples the resampler reads; nullptr
    // when the buffer does not hold what its format promises.
    const std::uint8_t* firstChannel(const AudioBuffer& input);

    AudioFormat from_;
    SwrContext* resampler_;
    // Holds the first channel when it has to be picked out or widened.
    std::vector<std::uint8_t> scratch_;
};
