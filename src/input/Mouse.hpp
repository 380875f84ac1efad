#pragma once

#include "platform/Clock.hpp"
#include "platform/InputEvents.hpp"

#include <cstdint>
#include <optional>

class Keyboard;

// Pointer events: moves, clicks with their click counts, drags and wheel scrolls. Runs on
// the HTTP work queue, sleeping it between events; never fails (an event the platform
// cannot make is skipped). Keys held on the keyboard become the flags of every event.
class Mouse {
public:
    enum class Button : int { left = 0, right = 1, middle = 2 };

    Mouse(InputEvents& events, Clock& clock, const Keyboard& keyboard);

    void move(InputPoint to);
    // Clicks `count` times (at least once) with click states 1, 2, ... so that the system
    // sees a double or triple click.
    void click(InputPoint at, Button button, std::int64_t count);
    // A left-button drag in 12 steps, the last one exactly on `to`.
    void drag(InputPoint from, InputPoint to);
    // Scrolls at the pointer by dy pixels (at most 3000 either way); a positive dy posts
    // negative wheel deltas. A dy that is not a number scrolls the full 3000.
    void scroll(double dy);

private:
    std::optional<EventFlags> flags() const;
    // Posts the event and pauses for `milliseconds` from the moment it was posted.
    void post(MouseEventType type, InputPoint at, int button, std::int64_t clickState, std::int64_t milliseconds);

    InputEvents& events_;
    Clock& clock_;
    const Keyboard& keyboard_;
};
