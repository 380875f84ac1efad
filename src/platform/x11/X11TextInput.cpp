#include "platform/x11/X11InputState.hpp"

#include "base/Text.hpp"
#include "platform/keysyms/Keysyms.hpp"

#include <xcb/xtest.h>

#include <algorithm>
#include <thread>

namespace {

using Clock = X11KeycodeLoans::Clock;

constexpr xcb_keysym_t capsLock = 0xffe5;

void fake(xcb_connection_t* c, std::uint8_t type, xcb_keycode_t keycode)
{
    xcb_test_fake_input(c, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

// While it lives, text comes out as given whatever the keyboard holds: the modifier keys
// held by us are up and Caps Lock is off. Its end puts them back, also when an exception
// passes, and sends that to the server.
class PlainKeyboard {
public:
    PlainKeyboard(xcb_connection_t* c, const X11Keymap& keymap, const std::bitset<256>& held,
                  const X11KeyboardState& keyboard)
        : c_(c)
    {
        for (int modifier = 0; modifier < 8; ++modifier) {
            // Caps Lock held down stays: letting it go could unlock it.
            if (modifier == X11Keymap::lockModifier)
                continue;
            for (const xcb_keycode_t keycode : keymap.modifierKeys(modifier)) {
                if (held[keycode] && std::find(lifted_.begin(), lifted_.end(), keycode) == lifted_.end())
                    lifted_.push_back(keycode);
            }
        }
        if (keyboard.lockedModifiers & XCB_MOD_MASK_LOCK) {
            for (const xcb_keycode_t keycode : keymap.modifierKeys(X11Keymap::lockModifier)) {
                if (keymap.symbol(keycode, keyboard.group, 0) == capsLock && !keyboard.isDown(keycode))
                    capsLock_ = keycode;
            }
        }
        for (const xcb_keycode_t keycode : lifted_)
            fake(c_, XCB_KEY_RELEASE, keycode);
        tapCapsLock();
    }
    PlainKeyboard(const PlainKeyboard&) = delete;
    PlainKeyboard& operator=(const PlainKeyboard&) = delete;

    ~PlainKeyboard()
    {
        tapCapsLock();
        for (const xcb_keycode_t keycode : lifted_)
            fake(c_, XCB_KEY_PRESS, keycode);
        xcb_flush(c_);
    }

private:
    void tapCapsLock()
    {
        if (capsLock_) {
            fake(c_, XCB_KEY_PRESS, *capsLock_);
            fake(c_, XCB_KEY_RELEASE, *capsLock_);
        }
    }

    xcb_connection_t* c_;
    std::vector<xcb_keycode_t> lifted_;
    std::optional<xcb_keycode_t> capsLock_;
};

} // namespace

std::optional<X11Stroke> X11InputEvents::State::strokeForText(xcb_keysym_t sym, int group) const
{
    const bool shiftAvailable = !keymap.modifierKeys(X11Keymap::shiftModifier).empty();
    // A key held down cannot be typed again without letting it go: those are not used.
    if (auto stroke = keymap.find(sym, group, !shiftAvailable, loans.borrowed() | held))
        return stroke;
    if (auto stroke = loans.find(sym, !shiftAvailable); stroke && !held[stroke->keycode])
        return stroke;
    return std::nullopt;
}

bool X11InputEvents::State::typable(xcb_keysym_t sym, int group) const
{
    return strokeForText(sym, group) || loans.canLend(held);
}

// Binds a level, waiting for one to settle when every level is in recent use.
std::optional<X11Stroke> X11InputEvents::State::bindWaiting(xcb_connection_t* c, xcb_keysym_t sym,
                                                            bool levelOneOnly, const std::vector<xcb_keysym_t>& keep)
{
    const bool shiftAvailable = !keymap.modifierKeys(X11Keymap::shiftModifier).empty();
    for (;;) {
        auto binding = loans.bind(sym, levelOneOnly, shiftAvailable, keep, held);
        // Levels kept for characters still to come are taken after all rather than none.
        if (!binding.stroke && !binding.settlesAt && !keep.empty())
            binding = loans.bind(sym, levelOneOnly, shiftAvailable, {}, held);
        if (binding.stroke || !binding.settlesAt)
            return binding.stroke;
        // What was bound so far must reach the server before the wait.
        sendBindings(c);
        xcb_flush(c);
        std::this_thread::sleep_until(*binding.settlesAt);
    }
}

// Text comes out as given whatever the keyboard holds (PlainKeyboard), its characters looked
// up in the group the keyboard is in.
bool X11InputEvents::State::typeText(X11Session& session, std::u16string_view units)
{
    xcb_connection_t* c = session.connection;
    refreshKeymap(session);
    const X11KeyboardState keyboard = X11Keymap::state(c);
    const int group = keyboard.group;
    std::vector<xcb_keysym_t> syms;
    for (const char32_t character : codePoints(units)) {
        const xcb_keysym_t sym = keysymForCharacter(character);
        if (sym == 0)
            continue;
        // The whole chunk or nothing: a character that cannot be typed fails it up front.
        if (!typable(sym, group))
            throw x11NoKeyFor("U+%04X", static_cast<unsigned>(character));
        syms.push_back(sym);
    }

    const auto& shiftKeys = keymap.modifierKeys(X11Keymap::shiftModifier);
    const bool shiftAvailable = !shiftKeys.empty();
    std::vector<X11Stroke> typed;
    const auto typeOne = [&](const X11Stroke& stroke) {
        const bool withShift = stroke.shifted && shiftAvailable;
        if (withShift)
            fake(c, XCB_KEY_PRESS, shiftKeys.front());
        fake(c, XCB_KEY_PRESS, stroke.keycode);
        fake(c, XCB_KEY_RELEASE, stroke.keycode);
        if (withShift)
            fake(c, XCB_KEY_RELEASE, shiftKeys.front());
        typed.push_back(stroke);
    };
    {
        const PlainKeyboard plain(c, keymap, held, keyboard);
        for (std::size_t next = 0; next < syms.size();) {
            // Bind as many of the characters left as levels allow, all in one go, so that
            // clients reload the keymap once for them; the characters still to come keep their
            // levels. Every notification costs each client a reload, and a client that falls
            // behind reads a binding changed again since.
            const std::vector<xcb_keysym_t> rest(syms.begin() + static_cast<std::ptrdiff_t>(next), syms.end());
            std::vector<X11Stroke> strokes;
            for (const xcb_keysym_t sym : rest) {
                auto stroke = strokeForText(sym, group);
                if (!stroke)
                    stroke = loans.bind(sym, !shiftAvailable, shiftAvailable, rest, held).stroke;
                if (!stroke)
                    break;
                strokes.push_back(*stroke);
            }
            // None free: wait for the first level to settle.
            if (strokes.empty()) {
                const auto stroke = bindWaiting(c, rest.front(), !shiftAvailable, rest);
                if (!stroke)
                    throw x11NoKeyFor("keysym 0x%x", rest.front());
                strokes.push_back(*stroke);
            }
            sendBindings(c);
            for (const X11Stroke& stroke : strokes)
                typeOne(stroke);
            next += strokes.size();
            // What was typed must count as used before any level is looked at again.
            if (next < syms.size()) {
                confirm(session);
                loans.markUsed(typed, Clock::now());
                typed.clear();
            }
        }
    }
    // The keyboard is as it was (`plain` has ended); the levels typed start settling once
    // the server has taken their events.
    confirm(session);
    loans.markUsed(typed, Clock::now());
    return true;
}

std::optional<char32_t> X11InputEvents::untypable(std::u16string_view units)
{
    return state_->connection.run([&](X11Session& session) -> std::optional<char32_t> {
        State& s = *state_;
        s.refreshKeymap(session);
        const int group = X11Keymap::state(session.connection).group;
        for (const char32_t character : codePoints(units)) {
            const xcb_keysym_t sym = keysymForCharacter(character);
            if (sym != 0 && !s.typable(sym, group))
                return character;
        }
        return std::nullopt;
    });
}

bool X11InputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    // The down event carries the text; the up event has nothing left to do.
    if (direction == KeyDirection::up)
        return true;
    return state_->connection.run([&](X11Session& session) { return state_->typeText(session, units); });
}
