#pragma once

#include "platform/Clock.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

struct Platform;

// The three privacy permissions the process depends on: their states, their prompts and
// their settings pages. One instance serves the whole process; it is safe to use from any
// thread except that request() must not run on the main thread.
//
// The Screen Recording state needs a real capture-framework query, which can block for the
// capture time-out, so its result is cached for 3 seconds behind `lock_`. A query that
// finds the preflight check failing answers denied without touching the cache, so a cached
// grant is never reported while the system says no.
class Permissions {
public:
    enum class ScreenState { granted, denied, unknown };
    // "granted", "denied", "unknown".
    static const char* rawValue(ScreenState state);
    // Exact, case-sensitive; nothing for any other text.
    static std::optional<ScreenState> fromRawValue(std::string_view text);

    explicit Permissions(Platform& platform);
    Permissions(const Permissions&) = delete;
    Permissions& operator=(const Permissions&) = delete;

    // The Screen Recording state of the screen itself. Where the platform lets this process
    // capture some windows but not the screen (Privacy::screenCaptureLimit), denied with the
    // platform's reason, without a probe.
    ScreenState screenState();
    // The capture framework's explanation of the state (or the platform's reason), or "";
    // when granted, what the platform still does not serve (Privacy::screenCaptureNote).
    // Served from the cache that a screenState() just before filled.
    std::string screenDetail();
    // The state for what is captured apart from pictures of the screen: the window list,
    // window pictures and system audio. The same as screenState() except where capture is
    // limited to some windows: there the capture framework's own answer, so that what it can
    // still capture stays within reach.
    ScreenState contentState();
    std::string contentDetail();
    // The next screen query probes again.
    void forgetProbe();

    bool accessibilityGranted();
    ScreenState microphoneState();
    // Prompts for the microphone only while the user has not decided; does not wait.
    void requestMicrophone();
    // Prompts for Screen Recording ("screen") or Accessibility (anything else) on the main
    // thread and waits for the prompt call; then forgets the probe.
    void request(const std::string& what);
    // Opens the Screen Recording ("screen") or Accessibility page of the system settings;
    // does not wait.
    void openPane(const std::string& what);

private:
    std::pair<ScreenState, std::string> screenStateAndDetail();
    std::pair<ScreenState, std::string> contentStateAndDetail();
    // The last probe's answer while it is fresh, else a new probe's.
    std::pair<ScreenState, std::string> probed();

    Platform& platform_;
    std::mutex lock_;
    // Nothing stands for the distant past: no probe counts as fresh.
    std::optional<Clock::TimePoint> probedAt_;
    std::pair<ScreenState, std::string> probed_{ScreenState::unknown, ""};
};
