#pragma once

#include "platform/InputEvents.hpp"

#include <memory>
#include <thread>

// Input through the XTest extension, on an X connection of its own opened from DISPLAY.
// Every call returns once the server has taken its events (a round trip proves it); when
// the connection turns out dead (the server restarted), the call connects again and posts
// once more, and throws PlatformError when that fails too.
//
// Virtual key codes become keysyms and then keys of the group the keyboard is in; Command
// presses Control, Option Alt. Characters the keymap lacks are typed through spare keycodes
// borrowed for them (X11KeycodeLoans), never through the layout's own keys. Keys held down
// do not auto-repeat. What is borrowed or held is kept in a ledger on the root window
// (X11InputLedger), so that whoever connects after a killed process gives it back.
// Thread-safe.
class X11InputEvents final : public InputEvents {
public:
    X11InputEvents();
    ~X11InputEvents() override;
    X11InputEvents(const X11InputEvents&) = delete;
    X11InputEvents& operator=(const X11InputEvents&) = delete;

    bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                   std::optional<EventFlags> flags) override;
    bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) override;
    bool postText(std::u16string_view units, KeyDirection direction) override;
    bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                    std::optional<EventFlags> flags) override;
    std::optional<char32_t> untypable(std::u16string_view units) override;
    void relinquish() override;

    // Whether the display answers and offers XTest, the condition for posting anything.
    bool available();
    // Connects on a thread of its own, so that what a killed process left on the desktop
    // is given back at start-up rather than at the first input.
    void connectInBackground();

private:
    struct State;
    std::unique_ptr<State> state_;
    std::thread starter_;
};
