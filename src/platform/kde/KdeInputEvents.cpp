#include "platform/kde/KdeInputEvents.hpp"

#include "base/PlatformError.hpp"
#include "base/Text.hpp"
#include "platform/keysyms/Keysyms.hpp"
#include "platform/wayland/WaylandKeymap.hpp"

#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <cmath>

namespace {

// Linux input codes of the mouse buttons and of the keys the program presses itself.
constexpr std::uint32_t buttonLeft = 0x110, buttonRight = 0x111, buttonMiddle = 0x112, buttonLast = 0x117;
constexpr std::uint32_t keyLeftShift = 42, keyRightAlt = 100, keyLeftControl = 29, keyV = 47;
// KWin's wheel counts 15 for a click, as wl_pointer's axis does.
constexpr double axisPerWheelClick = 15;
// Modifier keys, by code: Shift, Control, Alt and Meta left and right, AltGr, Caps Lock.
bool isModifier(std::uint32_t code)
{
    return code == 42 || code == 54 || code == 29 || code == 97 || code == 56 || code == 100 || code == 125
        || code == 126;
}

PlatformError untrusted()
{
    return PlatformError("KWin", 0, "KWin does not offer its fake input to this program: no desktop file trusts it");
}



org_kde_kwin_fake_input* device(WaylandSession& session)
{
    if (!session.fakeInput())
        throw untrusted();
    return session.fakeInput();
}

} // namespace

KdeInputEvents::KdeInputEvents(PasteRoute clipboard)
    : clipboard_(std::move(clipboard)),
      connection_({false, [this](WaylandSession& session) { connected(session); }, [] {}, false})
{
}

KdeInputEvents::~KdeInputEvents()
{
    relinquish();
    connection_.disconnect();
}

// KWin asks the device to say who it is before it takes events from it.
void KdeInputEvents::connected(WaylandSession& session)
{
    downCount_.clear();
    virtualKeyDown_.clear();
    buttonsDown_.clear();
    if (session.fakeInput())
        org_kde_kwin_fake_input_authenticate(session.fakeInput(), "Velmar Computer Use",
                                             "drives the desktop for the application that started it");
}

bool KdeInputEvents::offered()
{
    try {
        return connection_.run([](WaylandSession& session) { return session.fakeInput() != nullptr; });
    } catch (const std::exception&) {
        return false;
    }
}

void KdeInputEvents::key(WaylandSession& session, std::uint32_t code, bool down)
{
    if (session.fakeInputVersion() < 4)
        throw PlatformError("KWin", 0, "KWin's fake input has no keys before version 4");
    org_kde_kwin_fake_input_keyboard_key(device(session), code,
                                         down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

bool KdeInputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t,
                               std::optional<EventFlags>)
{
    const std::uint32_t code = button == 0 ? buttonLeft
        : button == 1                      ? buttonRight
        : button == 2                      ? buttonMiddle
                                           : static_cast<std::uint32_t>(std::clamp<std::int64_t>(
                                               std::int64_t{buttonLeft} + button, buttonLeft, buttonLast));
    std::lock_guard lock(lock_);
    return connection_.run([&](WaylandSession& session) {
        org_kde_kwin_fake_input* input = device(session);
        if (session.fakeInputVersion() < 3)
            throw PlatformError("KWin", 0, "KWin's fake input has no absolute pointer before version 3");
        // Every button event goes where the event says, as a moved pointer would.
        org_kde_kwin_fake_input_pointer_motion_absolute(input, wl_fixed_from_double(position.x),
                                                        wl_fixed_from_double(position.y));
        if (const ButtonChange change = buttonChange(type); change != ButtonChange::none) {
            const bool press = change == ButtonChange::press;
            org_kde_kwin_fake_input_button(input, code,
                                           press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
            if (press)
                buttonsDown_.insert(code);
            else
                buttonsDown_.erase(code);
        }
        session.roundtrip();
        return true;
    });
}

bool KdeInputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags)
{
    std::lock_guard lock(lock_);
    return connection_.run([&](WaylandSession& session) {
        device(session);
        const bool down = direction == KeyDirection::down;
        std::uint32_t code = 0;
        if (!down) {
            // The key goes up where it went down.
            const auto held = virtualKeyDown_.find(virtualKey);
            if (held == virtualKeyDown_.end())
                return true;
            code = held->second;
            virtualKeyDown_.erase(held);
        } else {
            // The user's layout's key for the keysym; a US keyboard's where it has none.
            const std::uint32_t keysym = keysymForVirtualKey(virtualKey);
            const auto layout = waylandLayoutKeys(session);
            const auto place = layout ? layout->find(keysym) : std::map<std::uint32_t, WaylandKeyPlace>::const_iterator{};
            if (layout && place != layout->end())
                code = place->second.code;
            else if (const auto named = WaylandKeymap::namedKey(virtualKey))
                code = named->code;
            else
                return false;
            virtualKeyDown_[virtualKey] = code;
        }
        int& count = downCount_[code];
        if (down ? count == 0 : count == 1)
            key(session, code, down);
        count += down ? 1 : -1;
        if (count <= 0)
            downCount_.erase(code);
        session.roundtrip();
        return true;
    });
}

std::optional<char32_t> KdeInputEvents::untypable(std::u16string_view units)
{
    if (clipboard_.available && clipboard_.available())
        return std::nullopt;
    std::lock_guard lock(lock_);
    try {
        const auto layout = connection_.run([](WaylandSession& session) { return waylandLayoutKeys(session); });
        if (!layout)
            return std::nullopt;
        for (const char32_t character : codePoints(units)) {
            const std::uint32_t keysym = keysymForCharacter(character);
            if (keysym != 0 && !layout->contains(keysym))
                return character;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

bool KdeInputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    if (direction == KeyDirection::up)
        return true;
    const std::u32string text = codePoints(units);
    std::lock_guard lock(lock_);
    return connection_.run([&](WaylandSession& session) {
        device(session);
        const auto layout = waylandLayoutKeys(session).value_or(std::map<std::uint32_t, WaylandKeyPlace>{});
        // Text comes out as given: the modifiers held are lifted while it is typed and put down
        // again after, also when a key fails.
        std::vector<std::uint32_t> lifted;
        for (const auto& [code, count] : downCount_)
            if (isModifier(code))
                lifted.push_back(code);
        for (const std::uint32_t code : lifted)
            key(session, code, false);
        const auto restore = [&] {
            for (const std::uint32_t code : lifted)
                key(session, code, true);
            session.roundtrip();
        };
        try {
            for (std::size_t i = 0; i < text.size();) {
                const std::uint32_t keysym = keysymForCharacter(text[i]);
                if (keysym == 0) {
                    ++i;
                    continue;
                }
                if (const auto place = layout.find(keysym); place != layout.end()) {
                    const WaylandKeyPlace& at = place->second;
                    if (at.shift)
                        key(session, keyLeftShift, true);
                    if (at.levelThree)
                        key(session, keyRightAlt, true);
                    key(session, at.code, true);
                    key(session, at.code, false);
                    if (at.levelThree)
                        key(session, keyRightAlt, false);
                    if (at.shift)
                        key(session, keyLeftShift, false);
                    ++i;
                    continue;
                }
                // The characters the layout lacks, up to the next one it has, in one paste.
                std::string run;
                for (; i < text.size() && keysymForCharacter(text[i]) != 0 && !layout.contains(keysymForCharacter(text[i]));
                     ++i)
                    appendUTF8(run, text[i]);
                if (!clipboard_.paste)
                    throw PlatformError("KWin", 0, "the keyboard layout has no key for this text and there is no "
                                                   "clipboard to paste it through");
                session.roundtrip();
                clipboard_.paste(run, [&] {
                    key(session, keyLeftControl, true);
                    key(session, keyV, true);
                    key(session, keyV, false);
                    key(session, keyLeftControl, false);
                    session.roundtrip();
                });
            }
        } catch (...) {
            restore();
            throw;
        }
        restore();
        return true;
    });
}

bool KdeInputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                std::optional<EventFlags>)
{
    std::lock_guard lock(lock_);
    return connection_.run([&](WaylandSession& session) {
        org_kde_kwin_fake_input* input = device(session);
        // Positive pixels scroll up (or left); the desktop's axes grow downwards (and rightwards).
        const auto wheel = [&](std::uint32_t axis, long count) {
            for (long i = 0; i < std::labs(count); ++i)
                org_kde_kwin_fake_input_axis(input, axis, wl_fixed_from_double(count > 0 ? -axisPerWheelClick
                                                                                           : axisPerWheelClick));
        };
        wheel(WL_POINTER_AXIS_VERTICAL_SCROLL, verticalWheel_.clicks(verticalPixels, part));
        wheel(WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontalWheel_.clicks(horizontalPixels, part));
        session.roundtrip();
        return true;
    });
}

void KdeInputEvents::relinquish()
{
    std::lock_guard lock(lock_);
    if (downCount_.empty() && buttonsDown_.empty())
        return;
    try {
        connection_.run([&](WaylandSession& session) {
            if (!session.fakeInput())
                return;
            for (const auto& [code, count] : downCount_)
                key(session, code, false);
            for (const std::uint32_t button : buttonsDown_)
                org_kde_kwin_fake_input_button(session.fakeInput(), button, WL_POINTER_BUTTON_STATE_RELEASED);
            session.roundtrip();
        });
    } catch (const std::exception&) {
        // The compositor is gone, and with it whatever the device held.
    }
    downCount_.clear();
    virtualKeyDown_.clear();
    buttonsDown_.clear();
}
