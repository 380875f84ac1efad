#pragma once

#include "platform/Privacy.hpp"
#include "platform/DisplayServer.hpp"

#include <chrono>
#include <mutex>
#include <optional>

// Privacy on a Linux desktop: the screen may be captured and input posted when the display
// server allows it (an X display that can be reached, with XTest for input; a compositor that
// offers screen copies and virtual input devices; on GNOME, the user's answer in the
// desktop's screen-sharing dialog), and the microphone is usable when a PulseAudio server
// answers. The Screen Recording prompt and page are the display server's question where it
// has one; the other prompts, the activation and the other pages do nothing.
class LinuxPrivacy final : public Privacy {
public:
    explicit LinuxPrivacy(DisplayServer& displayServer) : displayServer_(displayServer) {}

    bool preflightScreenCaptureAccess() override;
    std::optional<std::string> screenCaptureLimit() override { return displayServer_.screenCaptureLimit(); }
    std::optional<std::string> screenCaptureNote() override { return displayServer_.screenCaptureNote(); }
    void requestScreenCaptureAccess() override { displayServer_.requestCaptureConsent(); }
    bool isProcessTrusted() override;
    void promptForAccessibility() override { displayServer_.requestInputConsent(); }
    // authorized when a PulseAudio server answers within a second, notDetermined otherwise.
    // The answer is kept for a second: a connection to the server costs about a millisecond,
    // and the status report, which a parent may poll, asks every time.
    int microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess() override {}
    void activateApplication() override {}
    // The display server's consent questions stand for the settings pages.
    void openSettings(SettingsPage page) override
    {
        if (page == SettingsPage::screenCapture)
            displayServer_.openCaptureSettings();
        else
            displayServer_.requestInputConsent();
    }

private:
    DisplayServer& displayServer_;
    std::mutex microphoneLock_;
    std::optional<std::chrono::steady_clock::time_point> microphoneAskedAt_;
    int microphoneStatus_ = notDetermined;
};

