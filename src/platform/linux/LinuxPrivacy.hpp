#pragma once

#include "platform/Privacy.hpp"
#include "platform/DisplayServer.hpp"

#include <chrono>
#include <mutex>
#include <optional>

// Privacy on a Linux desktop, which asks nobody: the screen may be captured and input posted
// when the display server allows it (an X display that can be reached, with XTest for input;
// a compositor that offers screen copies and virtual input devices), and the microphone is
// usable when a PulseAudio server answers. There is nothing to prompt with, so the prompts,
// the activation and the settings pages do nothing.
class LinuxPrivacy final : public Privacy {
public:
    explicit LinuxPrivacy(DisplayServer& displayServer) : displayServer_(displayServer) {}

    bool preflightScreenCaptureAccess() override;
    std::optional<std::string> screenCaptureLimit() override { return displayServer_.screenCaptureLimit(); }
    void requestScreenCaptureAccess() override {}
    bool isProcessTrusted() override;
    void promptForAccessibility() override {}
    // authorized when a PulseAudio server answers within a second, notDetermined otherwise.
    // The answer is kept for a second: a connection to the server costs about a millisecond,
    // and the status report, which a parent may poll, asks every time.
    int microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess() override {}
    void activateApplication() override {}
    void openSettings(SettingsPage) override {}

private:
    DisplayServer& displayServer_;
    std::mutex microphoneLock_;
    std::optional<std::chrono::steady_clock::time_point> microphoneAskedAt_;
    int microphoneStatus_ = notDetermined;
};

