#pragma once

#include "platform/InputEvents.hpp"
#include "platform/fake/FakeClock.hpp"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Records every input event posted, in order, with what it carried and how many pauses
// the clock had been asked for before it, so a test can read events and pauses as one
// sequence. Refusing events (as a platform that cannot make one would) is scriptable.
class FakeInputEvents final : public InputEvents {
public:
    enum class Kind { mouse, key, text, scroll, relinquish };

    struct Event {
        Kind kind = Kind::mouse;
        MouseEventType mouseType = MouseEventType::mouseMoved;
        InputPoint position;
        int button = 0;
        std::int64_t clickState = 0;
        std::optional<EventFlags> flags;
        std::uint16_t keyCode = 0;
        KeyDirection direction = KeyDirection::down;
        std::u16string text;
        std::int32_t verticalPixels = 0;
        std::int32_t horizontalPixels = 0;
        ScrollPart scrollPart = ScrollPart::first;
        // clock.sleeps().size() when the event was posted.
        std::size_t sleepsBefore = 0;
    };

    explicit FakeInputEvents(FakeClock& clock);

    bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                   std::optional<EventFlags> flags) override;
    bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) override;
    bool postText(std::u16string_view units, KeyDirection direction) override;
    bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                    std::optional<EventFlags> flags) override;
    std::optional<char32_t> untypable(std::u16string_view units) override;
    void relinquish() override;

    // The events posted so far (refused ones are not among them).
    std::vector<Event> events() const;
    void clear();
    // When set and returning true for an event, the event is refused: not recorded, and
    // the call answers false.
    void setRefusal(std::function<bool(const Event&)> refuse);
    // Characters that untypable() reports, as a keyboard without keys for them would.
    void setUntypable(std::u32string characters);
    // Every event taken advances the clock by this much, as a display server's confirmation
    // takes time. Default: none.
    void setPostDuration(Clock::Duration duration);

private:
    bool record(Event event);

    FakeClock& clock_;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::function<bool(const Event&)> refuse_;
    std::u32string untypable_;
    Clock::Duration postDuration_{};
};
