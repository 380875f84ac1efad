#pragma once

#include "platform/InputEvents.hpp"

#include <memory>

// Input through the XTest extension, on an X connection of its own opened from DISPLAY
// and opened again on the next event when the server went away. Virtual key codes become
// keysyms and then the current keymap's keycodes; Command presses Control, Option Alt.
// Characters the keymap lacks are typed through spare keycodes borrowed for them, never
// through the layout's own keys. Thread-safe; every event is flushed to the server before
// the call returns.
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
    void relinquish() override;

    // Whether the display answers and offers XTest, the condition for posting anything.
    bool available();

private:
    struct State;
    std::unique_ptr<State> state_;
};
