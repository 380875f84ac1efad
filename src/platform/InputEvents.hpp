#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Modifier flag bits carried by input events (Shift, Control, Option, Command); the
// values are those of the key tables in src/input/Keys.hpp.
using EventFlags = std::uint64_t;

// A position in the global display space, in points: origin at the top-left corner of the
// main display, y growing downwards.
struct InputPoint {
    double x = 0;
    double y = 0;

    friend bool operator==(const InputPoint&, const InputPoint&) = default;
};

// The kinds of mouse event, numbered as the input sequences name them.
enum class MouseEventType : int {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    otherMouseDown = 25,
    otherMouseUp = 26,
};

// Whether a mouse event presses its button, lets it go, or only moves the pointer.
enum class ButtonChange { none, press, release };

inline ButtonChange buttonChange(MouseEventType type)
{
    switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown:
        return ButtonChange::press;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp:
        return ButtonChange::release;
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
        break;
    }
    return ButtonChange::none;
}

enum class KeyDirection { down, up };

// Whether a wheel event opens a new scroll gesture or continues the one before it; an
// implementation that turns pixels into coarser steps carries its remainder only within one.
enum class ScrollPart { first, continued };

// Turns a scroll's pixels into whole wheel clicks of `pixelsPerClick`, rounded; what is left
// over counts towards the next event of the same scroll, and a new scroll starts afresh.
class WheelClicks {
public:
    static constexpr double pixelsPerClick = 100;

    long clicks(std::int32_t pixels, ScrollPart part)
    {
        if (part == ScrollPart::first)
            remainder_ = 0;
        const double total = remainder_ + pixels;
        const long count = std::lround(total / pixelsPerClick);
        remainder_ = total - static_cast<double>(count) * pixelsPerClick;
        return count;
    }

private:
    double remainder_ = 0;
};

// A clipboard that text no key types can be pasted through: whether there is one, and a paste
// of UTF-8 text that runs the given paste key while the text is on the clipboard (which gets
// back what it held after). Throws PlatformError as the clipboard's own paste does.
struct PasteRoute {
    std::function<bool()> available;
    std::function<void(const std::string&, const std::function<void()>&)> paste;
};

// Posts synthetic input into the desktop's event stream. Every call runs on the caller's
// thread (the HTTP work queue) and returns once the desktop has taken the event (it does not
// wait for any application to receive it). A call returns false when the event could not be
// made, and then nothing was posted. Throws PlatformError when the desktop did not take the
// event: it cannot be reached, or it has no way to type what was asked.
//
// Flags: nothing means "leave the event's modifiers as the system makes them"; a value
// asks for exactly those modifiers. Where the desktop derives modifier state from the keys
// held down, an implementation may rely on that and ignore the value.
class InputEvents {
public:
    virtual ~InputEvents() = default;

    // A mouse event at a point; `button` is 0 left, 1 right, 2 middle (other numbers are
    // other buttons); `clickState` counts the clicks of a multi-click, 0 for none.
    virtual bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                           std::optional<EventFlags> flags)
        = 0;

    // A key going down or up, named by its virtual key code (the tables of src/input/Keys).
    virtual bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) = 0;

    // A text event: the UTF-16 units are typed as they stand, whatever the keyboard layout
    // and whatever modifiers are held. The down event types the text; the up event ends it.
    // Control characters other than line breaks and tabs type nothing.
    virtual bool postText(std::u16string_view units, KeyDirection direction) = 0;

    // The first character of the text that the desktop cannot type as it is now (its
    // keyboard has no key for it and none to spare), or nothing when it can type them all.
    // Characters that type nothing are not counted.
    virtual std::optional<char32_t> untypable(std::u16string_view units) = 0;

    // A scroll of the wheel by pixels at the pointer's position; positive vertical values
    // scroll up, positive horizontal values scroll left.
    virtual bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                            std::optional<EventFlags> flags)
        = 0;

    // Lets go of every key still held and gives back whatever the implementation borrowed
    // from the desktop to post events (for example spare keycodes bound to characters the
    // keymap lacks, or a key's auto-repeat). Called when the process ends; may block briefly
    // so that recent events are read correctly first. Never throws.
    virtual void relinquish() = 0;
};
