#pragma once

#include "platform/Privacy.hpp"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Privacy answers set by the test. Every prompt, activation and settings page is recorded
// with whether it ran on the (fake) main thread.
class FakePrivacy final : public Privacy {
public:
    struct Call {
        std::string name; // "requestScreenCaptureAccess", "openSettings screenCapture", ...
        bool onMainThread;
        friend bool operator==(const Call&, const Call&) = default;
    };

    std::atomic<bool> screenCaptureAllowed = true;
    std::atomic<bool> trusted = true;
    std::atomic<int> microphoneStatus = authorized;
    // What screenCaptureLimit() answers; nothing at first.
    void setScreenCaptureLimit(std::optional<std::string> limit);
    // What screenCaptureNote() answers; nothing at first.
    void setScreenCaptureNote(std::optional<std::string> note);

    bool preflightScreenCaptureAccess() override;
    std::optional<std::string> screenCaptureLimit() override;
    std::optional<std::string> screenCaptureNote() override;
    void requestScreenCaptureAccess() override;
    bool isProcessTrusted() override;
    void promptForAccessibility() override;
    int microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess() override;
    void activateApplication() override;
    void openSettings(SettingsPage page) override;

    std::vector<Call> calls() const;
    int preflights() const { return preflights_; }

private:
    void record(std::string name);

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::atomic<int> preflights_ = 0;
    std::optional<std::string> screenCaptureLimit_;
    std::optional<std::string> screenCaptureNote_;
};
