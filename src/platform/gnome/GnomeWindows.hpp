#pragma once

#include "platform/ScreenCaptureFramework.hpp"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;

// The desktop's windows as the shell extension computer-use-windows@velmar.com lists them
// on the session bus (the shell gives ordinary clients no window list on Wayland). Three
// answers: the list; the extension missing (not installed, or not enabled: the shell has
// no such object); a failure (no bus, no shell, no answer within a second, a list not
// understood). One connection of its own, opened on first use and again after a failure.
// Thread-safe; calls block for at most about a second.
class GnomeWindows {
public:
    static constexpr const char* extension = "computer-use-windows@velmar.com";

    struct Answer {
        enum class State { listed, missing, failed };
        State state = State::failed;
        // listed: front to back, frames in the shell's logical pixels.
        std::vector<ShareableWindow> windows;
        // missing or failed: why, for people, with what to do where there is something.
        std::string reason;
    };

    GnomeWindows() = default;
    ~GnomeWindows();
    GnomeWindows(const GnomeWindows&) = delete;
    GnomeWindows& operator=(const GnomeWindows&) = delete;

    Answer list();

    // Why the window list is missing or failing, as a sentence for people; nothing while
    // the extension answers. From an answer of the last two seconds when there is one: the
    // status report asks for it on every poll.
    std::optional<std::string> note();

private:
    Answer ask();

    std::mutex lock_;
    sd_bus* bus_ = nullptr;
    std::optional<Answer> last_;
    std::chrono::steady_clock::time_point lastAt_;
};
