#include "platform/fake/FakeInputEvents.hpp"

FakeInputEvents::FakeInputEvents(FakeClock& clock)
    : clock_(clock)
{
}

bool FakeInputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                                std::optional<EventFlags> flags)
{
    Event event;
    event.kind = Kind::mouse;
    event.mouseType = type;
    event.position = position;
    event.button = button;
    event.clickState = clickState;
    event.flags = flags;
    return record(std::move(event));
}

bool FakeInputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags)
{
    Event event;
    event.kind = Kind::key;
    event.keyCode = virtualKey;
    event.direction = direction;
    event.flags = flags;
    return record(std::move(event));
}

bool FakeInputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    Event event;
    event.kind = Kind::text;
    event.text = std::u16string(units);
    event.direction = direction;
    return record(std::move(event));
}

bool FakeInputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                 std::optional<EventFlags> flags)
{
    Event event;
    event.kind = Kind::scroll;
    event.verticalPixels = verticalPixels;
    event.horizontalPixels = horizontalPixels;
    event.scrollPart = part;
    event.flags = flags;
    return record(std::move(event));
}

std::optional<char32_t> FakeInputEvents::untypable(std::u16string_view units)
{
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t character = units[i];
        if (character >= 0xD800 && character <= 0xDBFF && i + 1 < units.size())
            character = 0x10000 + ((character - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (untypable_.find(character) != std::u32string::npos)
            return character;
    }
    return std::nullopt;
}

void FakeInputEvents::setUntypable(std::u32string characters)
{
    std::lock_guard lock(mutex_);
    untypable_ = std::move(characters);
}

void FakeInputEvents::relinquish()
{
    Event event;
    event.kind = Kind::relinquish;
    record(std::move(event));
}

std::vector<FakeInputEvents::Event> FakeInputEvents::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

void FakeInputEvents::clear()
{
    std::lock_guard lock(mutex_);
    events_.clear();
}

void FakeInputEvents::setRefusal(std::function<bool(const Event&)> refuse)
{
    std::lock_guard lock(mutex_);
    refuse_ = std::move(refuse);
}

bool FakeInputEvents::record(Event event)
{
    event.sleepsBefore = clock_.sleeps().size();
    std::lock_guard lock(mutex_);
    if (refuse_ && refuse_(event))
        return false;
    events_.push_back(std::move(event));
    if (postDuration_ > Clock::Duration::zero())
        clock_.advance(postDuration_);
    return true;
}

void FakeInputEvents::setPostDuration(Clock::Duration duration)
{
    std::lock_guard lock(mutex_);
    postDuration_ = duration;
}
