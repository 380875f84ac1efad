#pragma once

#include "base/Json.hpp"
#include "input/Keyboard.hpp"
#include "input/Mouse.hpp"
#include "platform/InputEvents.hpp"

#include <optional>
#include <string>

struct Platform;
class Displays;

// Reads one input action (a JSON object naming the action and its parameters), checks and
// clamps its parameters, and runs it through Mouse and Keyboard. One Input serves the
// process, because the keys it holds down shape later actions. Runs on the HTTP work
// queue, blocking it for the action's pauses.
class Input {
public:
    // A bad action: the text goes to the caller unchanged.
    struct Failure {
        std::string message;
    };

    explicit Input(Platform& platform);
    Input(InputEvents& events, Clock& clock, Displays& displays);
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Throws Input::Failure before posting anything when a parameter is missing, a key name
    // unknown or a character of the text one the desktop cannot type. Errors of the platform
    // (a desktop that did not take the events) pass through.
    void perform(const Json& action);

    // Releases every held key and gives back what posting borrowed from the desktop; for
    // the end of the process.
    void releaseAll();

    Keyboard& keyboard() { return keyboard_; }
    Mouse& mouse() { return mouse_; }

private:
    // The point of the keys `xKey`, `yKey`, pulled onto the main display; nothing when a
    // coordinate is missing or not finite.
    std::optional<InputPoint> point(const Json& action, const char* xKey, const char* yKey) const;

    InputEvents& events_;
    Clock& clock_;
    Displays& displays_;
    Keyboard keyboard_;
    Mouse mouse_;
};
