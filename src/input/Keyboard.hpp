#pragma once

#include "platform/Clock.hpp"
#include "platform/InputEvents.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Sleeps the calling thread for whole milliseconds, through the platform's clock.
void pause(Clock& clock, std::int64_t milliseconds);

// Sleeps until whole milliseconds after `posted`, the time an event was posted. The pause
// after an event counts from the event, so the platform's confirmation that it took the
// event (a round trip to the display server) falls within the pause instead of adding to
// it, and events are as far apart as their pauses say.
void pauseAfter(Clock& clock, Clock::TimePoint posted, std::int64_t milliseconds);

// Key events: taps, chords, typed text, and keys held down across requests. The held keys
// shape later events (a held Shift makes a click a shift-click), so one Keyboard serves
// the whole process. Not locked: it lives on the HTTP work queue, which alone uses it.
// Every operation sleeps the calling thread between its events and returns after its last
// pause. Operations taking key names throw Input::Failure for an unknown name before
// posting anything, and then change nothing.
class Keyboard {
public:
    Keyboard(InputEvents& events, Clock& clock);
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // Types the text: line breaks ("\n", "\r\n") and tabs as taps of Return and Tab, the
    // rest as text events of at most 16 UTF-16 units that never split a character.
    void type(std::string_view text);
    // Throws Input::Failure naming the first character of the text that the desktop cannot
    // type, so that an action can refuse before it posts anything.
    void checkTypable(std::string_view text);
    void tap(std::uint16_t code, EventFlags flags);
    // Holds the named modifiers (each once, in the order Command, Control, Option, Shift)
    // while tapping the other named keys in order.
    void hotkey(const std::vector<std::string>& names);
    // Puts the named keys down and keeps them down until released.
    void press(const std::vector<std::string>& names);
    void release(const std::vector<std::string>& names);
    // Lets go of every held key, newest first.
    void releaseAll();

    // The modifier flags held by press().
    EventFlags heldFlags() const { return heldFlags_; }
    // The key codes held by press(), oldest first.
    const std::vector<std::uint16_t>& heldCodes() const { return heldCodes_; }

private:
    struct Chord {
        EventFlags flags = 0;
        std::vector<std::uint16_t> plainKeys;
        // The modifier codes of `flags` followed by the plain keys.
        std::vector<std::uint16_t> allCodes() const;
    };
    static Chord resolve(const std::vector<std::string>& names);

    void postKey(std::uint16_t code, KeyDirection direction, EventFlags flags);
    void flushText(std::u16string& chunk);

    InputEvents& events_;
    Clock& clock_;
    EventFlags heldFlags_ = 0;
    std::vector<std::uint16_t> heldCodes_;
};
