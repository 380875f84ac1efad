#include "platform/linux/LinuxPrivacy.hpp"

#include "platform/pulseaudio/PulseAudioProbe.hpp"

bool LinuxPrivacy::preflightScreenCaptureAccess()
{
    return displayServer_.canCapture();
}

bool LinuxPrivacy::isProcessTrusted()
{
    return displayServer_.canPostInput();
}

int LinuxPrivacy::microphoneAuthorizationStatus()
{
    constexpr auto keptFor = std::chrono::seconds(1);
    std::lock_guard lock(microphoneLock_);
    const auto now = std::chrono::steady_clock::now();
    if (!microphoneAskedAt_ || now - *microphoneAskedAt_ >= keptFor) {
        microphoneStatus_ = pulseAudioAnswers(std::chrono::seconds(1)) ? authorized : notDetermined;
        microphoneAskedAt_ = std::chrono::steady_clock::now();
    }
    return microphoneStatus_;
}
