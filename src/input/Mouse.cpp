#include "input/Mouse.hpp"

#include "input/Keyboard.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t afterMove = 30;
constexpr std::int64_t beforeGesture = 100;
constexpr std::int64_t clickDownToUp = 40;
constexpr std::int64_t betweenClicks = 80;
constexpr std::int64_t afterClick = 40;
constexpr std::int64_t afterDragDown = 60;
constexpr std::int64_t afterDragStep = 15;
constexpr std::int64_t afterDragUp = 40;
constexpr std::int64_t afterWheel = 10;
constexpr int dragSteps = 12;
constexpr std::int32_t maximumScroll = 3000;
constexpr std::int32_t wheelStep = 120;

} // namespace

Mouse::Mouse(InputEvents& events, Clock& clock, const Keyboard& keyboard)
    : events_(events), clock_(clock), keyboard_(keyboard)
{
}

std::optional<EventFlags> Mouse::flags() const
{
    const EventFlags held = keyboard_.heldFlags();
    return held ? std::optional(held) : std::nullopt;
}

void Mouse::post(MouseEventType type, InputPoint at, int button, std::int64_t clickState, std::int64_t milliseconds)
{
    const Clock::TimePoint posted = clock_.now();
    events_.postMouse(type, at, button, clickState, flags());
    pauseAfter(clock_, posted, milliseconds);
}

void Mouse::move(InputPoint to)
{
    post(MouseEventType::mouseMoved, to, static_cast<int>(Button::left), 0, afterMove);
}

void Mouse::click(InputPoint at, Button button, std::int64_t count)
{
    move(at);
    pause(clock_, beforeGesture);
    MouseEventType down = MouseEventType::otherMouseDown;
    MouseEventType up = MouseEventType::otherMouseUp;
    if (button == Button::left) {
        down = MouseEventType::leftMouseDown;
        up = MouseEventType::leftMouseUp;
    } else if (button == Button::right) {
        down = MouseEventType::rightMouseDown;
        up = MouseEventType::rightMouseUp;
    }
    const std::int64_t clicks = std::max<std::int64_t>(count, 1);
    for (std::int64_t k = 1; k <= clicks; ++k) {
        post(down, at, static_cast<int>(button), k, clickDownToUp);
        post(up, at, static_cast<int>(button), k, k < clicks ? betweenClicks : afterClick);
    }
}

void Mouse::drag(InputPoint from, InputPoint to)
{
    const int left = static_cast<int>(Button::left);
    move(from);
    pause(clock_, beforeGesture);
    post(MouseEventType::leftMouseDown, from, left, 1, afterDragDown);
    for (int i = 1; i <= dragSteps; ++i) {
        const InputPoint step{from.x + (to.x - from.x) * i / dragSteps, from.y + (to.y - from.y) * i / dragSteps};
        post(MouseEventType::leftMouseDragged, i == dragSteps ? to : step, left, 1, afterDragStep);
    }
    post(MouseEventType::leftMouseUp, to, left, 1, afterDragUp);
}

void Mouse::scroll(double dy)
{
    std::int32_t amount = maximumScroll;
    if (!std::isnan(dy))
        amount = static_cast<std::int32_t>(std::clamp(-dy, double(-maximumScroll), double(maximumScroll)));
    ScrollPart part = ScrollPart::first;
    while (amount != 0) {
        const std::int32_t step = std::clamp(amount, -wheelStep, wheelStep);
        const Clock::TimePoint posted = clock_.now();
        if (!events_.postScroll(step, 0, part, flags()))
            break;
        part = ScrollPart::continued;
        pauseAfter(clock_, posted, afterWheel);
        amount -= step;
    }
}
