#pragma once

#include <optional>
#include <string>

// The privacy services of the operating system: Screen Recording, Accessibility and the
// microphone. None of them throws; results other than those below are ignored.
//
// The queries run on the caller's thread and may block briefly (a connection attempt).
// The prompts, the activation and the settings pages are user-interface work: callers run
// them on the main thread (see MainThread); where a desktop has nothing to prompt with,
// they do nothing.
class Privacy {
public:
    // Microphone authorization statuses.
    static constexpr int notDetermined = 0;
    static constexpr int restricted = 1;
    static constexpr int denied = 2;
    static constexpr int authorized = 3;

    // The pages of the system settings that grant a permission.
    enum class SettingsPage { screenCapture, accessibility };

    virtual ~Privacy() = default;

    // True when Screen Recording is allowed for this process. Never prompts.
    virtual bool preflightScreenCaptureAccess() = 0;
    // Set where Screen Recording covers the windows of some applications but not the screen
    // (a desktop this process reaches only through the compatibility X server of a Wayland
    // session): why, in words for people. Nothing where the preflight's answer holds for the
    // whole screen. Never prompts.
    virtual std::optional<std::string> screenCaptureLimit() = 0;
    // Set where Screen Recording is granted but part of what it covers is not served (the
    // window list of a desktop that needs a helper installed for it): what is missing and how
    // to get it, in words for people. Never prompts.
    virtual std::optional<std::string> screenCaptureNote() = 0;
    // Asks the system to show the Screen Recording prompt. Main thread.
    virtual void requestScreenCaptureAccess() = 0;

    // True when this process may post input events (Accessibility). Never prompts.
    virtual bool isProcessTrusted() = 0;
    // Shows the Accessibility prompt when the process is not trusted. Main thread.
    virtual void promptForAccessibility() = 0;

    // The microphone's authorization status: one of the four above, or another number.
    virtual int microphoneAuthorizationStatus() = 0;
    // Shows the microphone prompt; returns at once and ignores the answer. Main thread.
    virtual void requestMicrophoneAccess() = 0;

    // Brings this application to the front, ahead of other applications. Main thread.
    virtual void activateApplication() = 0;
    // Opens the system settings at the page. Main thread.
    virtual void openSettings(SettingsPage page) = 0;
};
