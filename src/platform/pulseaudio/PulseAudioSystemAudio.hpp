#pragma once

#include "platform/SystemAudio.hpp"
#include "platform/pulseaudio/PulseAudioConnection.hpp"

#include <memory>

// What the computer plays: a record stream on the monitor of the default output (sink),
// following the default wherever the user or the server moves it, in 32-bit float at the
// configuration's rate and channel count (the server converts). The display of the filter
// plays no part: a sink is not tied to a display. This process plays nothing, so leaving
// its own sound out needs no filter.
class PulseAudioSystemAudio final : public SystemAudio {
public:
    explicit PulseAudioSystemAudio(std::shared_ptr<PulseAudioConnection> connection)
        : connection_(std::move(connection))
    {
    }

    std::unique_ptr<SystemAudioStream>
    makeStream(const ContentFilter& filter, const AudioStreamConfiguration& configuration, StopReport didStop) override;

private:
    std::shared_ptr<PulseAudioConnection> connection_;
};
