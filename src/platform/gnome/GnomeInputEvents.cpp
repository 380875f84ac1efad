#include "platform/gnome/GnomeInputEvents.hpp"

#include "base/PlatformError.hpp"
#include "base/Text.hpp"
#include "platform/keysyms/Keysyms.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

// Linux input codes of the mouse buttons.
constexpr std::int32_t buttonLeft = 0x110, buttonRight = 0x111, buttonMiddle = 0x112, buttonLast = 0x117;

bool isModifier(std::uint32_t keysym)
{
    // Shift, Control, Caps Lock, Shift Lock, Meta, Alt, Super, Hyper (left and right), and
    // the level-three shift.
    return (keysym >= 0xffe1 && keysym <= 0xffee) || keysym == 0xfe03;
}

// Linux input codes of the paste key, Control+V, found by place: every layout pastes with it.
constexpr std::int32_t keyLeftControl = 29, keyV = 47;



} // namespace

GnomeInputEvents::GnomeInputEvents(GnomeRemoteDesktop& remoteDesktop,
                                   std::function<std::optional<std::set<std::uint32_t>>()> layoutKeysyms,
                                   PasteRoute clipboard)
    : remoteDesktop_(remoteDesktop), layoutKeysyms_(std::move(layoutKeysyms)), clipboard_(std::move(clipboard))
{
}

bool GnomeInputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t,
                                 std::optional<EventFlags>)
{
    const std::int32_t code = button == 0 ? buttonLeft
        : button == 1                     ? buttonRight
        : button == 2                     ? buttonMiddle
                      : static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{buttonLeft} + button,
                                                                           buttonLeft, buttonLast));
    std::lock_guard lock(lock_);
    remoteDesktop_.post([&](PortalSession& session, const PortalStream& monitor) {
        // Every button event goes where the event says, as a moved pointer would. Positions
        // are on the monitor's stream, whose corner is the main display's.
        session.pointerMotionAbsolute(monitor.nodeID, position.x - monitor.x, position.y - monitor.y);
        if (const ButtonChange change = buttonChange(type); change != ButtonChange::none) {
            session.pointerButton(code, change == ButtonChange::press);
            if (change == ButtonChange::press)
                buttonsDown_.insert(static_cast<std::uint32_t>(code));
            else
                buttonsDown_.erase(static_cast<std::uint32_t>(code));
        }
    });
    return true;
}

bool GnomeInputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags)
{
    const std::uint32_t keysym = keysymForVirtualKey(virtualKey);
    if (keysym == 0)
        return false;
    std::lock_guard lock(lock_);
    const bool down = direction == KeyDirection::down;
    int& count = downCount_[keysym];
    // A key still held by an earlier press only counts the new press; it goes up with the
    // last release.
    const bool send = down ? count == 0 : count == 1;
    if (!down && count == 0) {
        downCount_.erase(keysym);
        return true;
    }
    if (send)
        remoteDesktop_.post([&](PortalSession& session, const PortalStream&) { session.keyboardKeysym(keysym, down); });
    count += down ? 1 : -1;
    if (count == 0)
        downCount_.erase(keysym);
    return true;
}

std::optional<char32_t> GnomeInputEvents::untypable(std::u16string_view units)
{
    const auto layout = layoutKeysyms_ ? layoutKeysyms_() : std::nullopt;
    if (!layout)
        return std::nullopt;
    for (const char32_t character : codePoints(units)) {
        const std::uint32_t keysym = keysymForCharacter(character);
        if (keysym != 0 && !layout->contains(keysym))
            return clipboard_.available && clipboard_.available() ? std::nullopt : std::optional<char32_t>(character);
    }
    return std::nullopt;
}

bool GnomeInputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    if (direction == KeyDirection::up)
        return true;
    const std::u32string text = codePoints(units);
    const auto layout = layoutKeysyms_ ? layoutKeysyms_() : std::nullopt;
    const auto typable = [&](char32_t character) {
        return !layout || layout->contains(keysymForCharacter(character));
    };
    std::lock_guard lock(lock_);
    remoteDesktop_.post([&](PortalSession& session, const PortalStream&) {
        // Text comes out as given: the modifiers held are lifted while it is typed and put
        // down again after, also when a key fails.
        std::vector<std::uint32_t> lifted;
        for (const auto& [keysym, count] : downCount_)
            if (isModifier(keysym))
                lifted.push_back(keysym);
        for (const std::uint32_t keysym : lifted)
            session.keyboardKeysym(keysym, false);
        try {
            for (std::size_t i = 0; i < text.size();) {
                const std::uint32_t keysym = keysymForCharacter(text[i]);
                if (keysym == 0) {
                    ++i;
                    continue;
                }
                if (typable(text[i])) {
                    session.keyboardKeysym(keysym, true);
                    session.keyboardKeysym(keysym, false);
                    ++i;
                    continue;
                }
                // The characters the layout lacks, up to the next one it has, in one paste.
                std::string run;
                for (; i < text.size() && keysymForCharacter(text[i]) != 0 && !typable(text[i]); ++i)
                    appendUTF8(run, text[i]);
                if (!clipboard_.paste)
                    throw PlatformError("GNOME", 0, "the keyboard layout has no key for this text and there is no "
                                                    "clipboard to paste it through");
                clipboard_.paste(run, [&session] {
                    session.keyboardKeycode(keyLeftControl, true);
                    session.keyboardKeycode(keyV, true);
                    session.keyboardKeycode(keyV, false);
                    session.keyboardKeycode(keyLeftControl, false);
                });
            }
        } catch (...) {
            for (const std::uint32_t keysym : lifted)
                session.keyboardKeysym(keysym, true);
            throw;
        }
        for (const std::uint32_t keysym : lifted)
            session.keyboardKeysym(keysym, true);
    });
    return true;
}

bool GnomeInputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                  std::optional<EventFlags>)
{
    std::lock_guard lock(lock_);
    const long vertical = verticalWheel_.clicks(verticalPixels, part);
    const long horizontal = horizontalWheel_.clicks(horizontalPixels, part);
    remoteDesktop_.post([&](PortalSession& session, const PortalStream&) {
        // Positive pixels scroll up (or left); the desktop's axes grow downwards (and
        // rightwards). One click an event: toolkits read one event's clicks as one step.
        const auto wheel = [&](std::uint32_t axis, long count) {
            for (long i = 0; i < std::labs(count); ++i)
                session.pointerAxisDiscrete(axis, count > 0 ? -1 : 1);
        };
        wheel(0, vertical);
        wheel(1, horizontal);
    });
    return true;
}

void GnomeInputEvents::relinquish()
{
    std::lock_guard lock(lock_);
    if (downCount_.empty() && buttonsDown_.empty())
        return;
    try {
        remoteDesktop_.post([&](PortalSession& session, const PortalStream&) {
            for (const auto& [keysym, count] : downCount_)
                session.keyboardKeysym(keysym, false);
            for (const std::uint32_t button : buttonsDown_)
                session.pointerButton(static_cast<std::int32_t>(button), false);
        });
    } catch (const std::exception&) {
        // The session is gone, and with it whatever it held.
    }
    downCount_.clear();
    buttonsDown_.clear();
}
