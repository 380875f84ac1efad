#include "platform/x11/X11InputEvents.hpp"

#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11InputState.hpp"
#include "platform/keysyms/Keysyms.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

PlatformError x11NoKeyFor(const char* format, unsigned value)
{
    char what[32];
    std::snprintf(what, sizeof what, format, value);
    return PlatformError("X11", 0, std::string("the keyboard has no key for ") + what + " and none to spare");
}

X11InputEvents::State::State()
    : connection(X11ConnectionOptions{{}, false, [this](X11Session& session) { connected(session); },
                                      [this](const xcb_generic_event_t& event) { handle(event); }})
{
}

// A new server (or the same one after our connection broke) knows nothing of what this
// connection held or bound; what an earlier connection left is given back by the ledger.
void X11InputEvents::State::connected(X11Session& session)
{
    xcb_connection_t* c = session.connection;
    keymap.markStale();
    loans.clear();
    downCount.fill(0);
    held.reset();
    repeatOff.reset();
    virtualKeyDown.clear();
    xkbEvent = X11Keymap::prepare(c);
    ledger.open(session);
}

void X11InputEvents::State::handle(const xcb_generic_event_t& event)
{
    const std::uint8_t type = event.response_type & 0x7f;
    // XKB's notifications of a new layout or a changed map, and the core one.
    if (type == XCB_MAPPING_NOTIFY || (xkbEvent && type == *xkbEvent))
        keymap.markStale();
}

void X11InputEvents::State::refreshKeymap(X11Session& session)
{
    if (!xkbEvent)
        throw PlatformError("X11", 0, "the X server has no keyboard extension (XKEYBOARD)");
    connection.pollEvents();
    if (!keymap.stale())
        return;
    const xcb_setup_t* setup = xcb_get_setup(session.connection);
    keymap.read(session.connection, setup->min_keycode, setup->max_keycode);
    loans.forgetRebound();
}

// Makes sure the server has taken everything sent: after the X server restarts, events
// written on the old connection vanish without an error at the flush, and only a round trip
// shows that the connection is dead (X11Connection then connects and runs the work again).
void X11InputEvents::State::confirm(X11Session& session)
{
    xcb_connection_t* c = session.connection;
    x11Reply(c, xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr), nullptr);
}

void X11InputEvents::State::record(xcb_connection_t* c)
{
    std::vector<X11InputLedger::Entry> entries;
    for (const auto& [keycode, loan] : loans.loans())
        entries.push_back({X11InputLedger::Entry::borrowed, keycode, loan[0].sym, loan[1].sym});
    for (int keycode = 0; keycode < 256; ++keycode) {
        if (held[static_cast<std::size_t>(keycode)])
            entries.push_back({X11InputLedger::Entry::held, static_cast<xcb_keycode_t>(keycode),
                               repeatOff[static_cast<std::size_t>(keycode)] ? 1u : 0u, 0});
    }
    ledger.write(c, entries);
}

// The ledger names a binding before the server makes it, so a crash in between leaves
// nothing unrecorded.
void X11InputEvents::State::sendBindings(xcb_connection_t* c)
{
    record(c);
    loans.send(c);
}

// A key held down by a named-key event. It would auto-repeat like a physical key held as
// long (about 23 presses in 1.5 s on Xvfb): its auto-repeat is off until it comes up.
void X11InputEvents::State::hold(xcb_connection_t* c, xcb_keycode_t keycode)
{
    if (downCount[keycode]++ > 0)
        return;
    const bool repeats = X11Keymap::repeats(c, keycode);
    held.set(keycode);
    repeatOff.set(keycode, repeats);
    record(c);
    if (repeats)
        X11Keymap::setRepeats(c, keycode, false);
    xcb_test_fake_input(c, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11InputEvents::State::letGo(xcb_connection_t* c, xcb_keycode_t keycode)
{
    if (downCount[keycode] > 1) {
        --downCount[keycode];
        return;
    }
    downCount[keycode] = 0;
    xcb_test_fake_input(c, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    if (repeatOff[keycode])
        X11Keymap::setRepeats(c, keycode, true);
    held.reset(keycode);
    repeatOff.reset(keycode);
    record(c);
}

void X11InputEvents::State::releaseEverything(X11Session& session)
{
    xcb_connection_t* c = session.connection;
    for (int keycode = 0; keycode < 256; ++keycode) {
        if (downCount[static_cast<std::size_t>(keycode)] > 0) {
            downCount[static_cast<std::size_t>(keycode)] = 1;
            letGo(c, static_cast<xcb_keycode_t>(keycode));
        }
    }
    virtualKeyDown.clear();
    if (!loans.loans().empty()) {
        refreshKeymap(session);
        confirm(session);
        loans.giveBack(c, held);
    }
    record(c);
    // The server has applied all of it before the process goes on, and perhaps ends.
    confirm(session);
}

X11InputEvents::X11InputEvents()
    : state_(std::make_unique<State>())
{
}

X11InputEvents::~X11InputEvents()
{
    if (starter_.joinable())
        starter_.join();
    relinquish();
}

void X11InputEvents::connectInBackground()
{
    starter_ = std::thread([this] { available(); });
}

bool X11InputEvents::available()
{
    try {
        return state_->connection.run([](X11Session& session) { return session.hasXTest; });
    } catch (const std::exception&) {
        return false;
    }
}

bool X11InputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t,
                               std::optional<EventFlags>)
{
    return state_->connection.run([&](X11Session& session) {
        State& s = *state_;
        xcb_connection_t* c = session.connection;
        s.connection.pollEvents();
        // The main display's corner is the origin of the points, by the rule every part of
        // the program shares.
        const X11Monitor origin = x11DisplayLayout(session).mainMonitor();
        const auto coordinate = [](double value, std::int32_t origin) {
            const double pixel = std::round(value) + origin;
            return static_cast<std::int16_t>(std::clamp(pixel, -32768.0, 32767.0));
        };
        const std::int16_t x = coordinate(position.x, origin.x);
        const std::int16_t y = coordinate(position.y, origin.y);
        // X numbers the buttons left 1, middle 2, right 3; further buttons follow the wheel's.
        const std::uint8_t xButton = button == 0 ? 1
            : button == 1                        ? 3
            : button == 2                        ? 2
                                                 : static_cast<std::uint8_t>(std::clamp(button + 5, 8, 255));
        // Every button event goes where the event says, as a moved pointer would.
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, session.root, x, y, 0);
        if (const ButtonChange change = buttonChange(type); change != ButtonChange::none)
            xcb_test_fake_input(c, change == ButtonChange::press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, xButton,
                                XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        s.confirm(session);
        return true;
    });
}

bool X11InputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags)
{
    return state_->connection.run([&](X11Session& session) {
        State& s = *state_;
        xcb_connection_t* c = session.connection;
        if (direction == KeyDirection::up) {
            // The key goes up where it went down, even if the layout changed meanwhile.
            if (const auto down = s.virtualKeyDown.find(virtualKey); down != s.virtualKeyDown.end()) {
                const xcb_keycode_t keycode = down->second;
                if (s.downCount[keycode] <= 1)
                    s.virtualKeyDown.erase(down);
                s.letGo(c, keycode);
                s.confirm(session);
                return true;
            }
        }
        const xcb_keysym_t sym = keysymForVirtualKey(virtualKey);
        if (sym == 0)
            return false;
        s.refreshKeymap(session);
        const X11KeyboardState keyboard = X11Keymap::state(c);
        // A named key means its unshifted symbol, from the active group when it has one,
        // else from the key that carries it in another group (where shortcuts find it);
        // one found nowhere gets a borrowed level of its own.
        std::optional<X11Stroke> stroke = s.keymap.find(sym, keyboard.group, true, s.loans.borrowed());
        for (int group = 0; group < 4 && !stroke; ++group)
            stroke = s.keymap.find(sym, group, true, s.loans.borrowed());
        if (!stroke)
            stroke = s.loans.find(sym, true);
        if (!stroke)
            stroke = s.bindWaiting(c, sym, true, {});
        if (!stroke)
            throw x11NoKeyFor("keysym 0x%x", sym);
        s.sendBindings(c);
        if (direction == KeyDirection::down) {
            s.virtualKeyDown[virtualKey] = stroke->keycode;
            s.hold(c, stroke->keycode);
        } else {
            s.letGo(c, stroke->keycode);
        }
        s.confirm(session);
        // A borrowed level read by this event must settle before it is bound to anything else.
        s.loans.markUsed({*stroke}, X11KeycodeLoans::Clock::now());
        return true;
    });
}

bool X11InputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                std::optional<EventFlags>)
{
    return state_->connection.run([&](X11Session& session) {
        State& s = *state_;
        const long vertical = s.verticalWheel.clicks(verticalPixels, part);
        const long horizontal = s.horizontalWheel.clicks(horizontalPixels, part);
        const auto press = [c = session.connection](std::uint8_t button, long count) {
            for (long i = 0; i < count; ++i) {
                xcb_test_fake_input(c, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
                xcb_test_fake_input(c, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            }
        };
        press(vertical > 0 ? 4 : 5, std::labs(vertical));
        press(horizontal > 0 ? 6 : 7, std::labs(horizontal));
        s.confirm(session);
        return true;
    });
}

void X11InputEvents::relinquish()
{
    try {
        state_->connection.run([this](X11Session& session) { state_->releaseEverything(session); });
    } catch (const std::exception&) {
        // A desktop that cannot be reached holds nothing of ours any more, or its ledger
        // tells the next process what to give back.
    }
}
