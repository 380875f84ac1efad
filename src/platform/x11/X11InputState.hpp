#pragma once

#include "base/PlatformError.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11InputEvents.hpp"
#include "platform/x11/X11InputLedger.hpp"
#include "platform/x11/X11KeycodeLoans.hpp"
#include "platform/x11/X11Keymap.hpp"

#include <array>
#include <bitset>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

// What X11InputEvents keeps for its connection; shared by its posting of events
// (X11InputEvents.cpp) and of text (X11TextInput.cpp). Everything here runs inside the
// connection's run(), under its lock.
struct X11InputEvents::State {
    State();

    X11Connection connection;
    X11Keymap keymap;
    X11KeycodeLoans loans{keymap};
    X11InputLedger ledger;
    std::optional<std::uint8_t> xkbEvent;

    // Keys put down by us and held, counted, so that a key pressed twice (a held modifier
    // that a chord presses again) stays down until its last release.
    std::array<int, 256> downCount{};
    std::bitset<256> held;
    // Held keys whose auto-repeat we turned off; it goes back on when they come up.
    std::bitset<256> repeatOff;
    std::map<std::uint16_t, xcb_keycode_t> virtualKeyDown;

    WheelClicks verticalWheel;
    WheelClicks horizontalWheel;

    void connected(X11Session& session);
    void handle(const xcb_generic_event_t& event);
    void refreshKeymap(X11Session& session);
    void confirm(X11Session& session);
    void record(xcb_connection_t* c);
    void sendBindings(xcb_connection_t* c);
    bool typable(xcb_keysym_t sym, int group) const;
    std::optional<X11Stroke> strokeForText(xcb_keysym_t sym, int group) const;
    std::optional<X11Stroke> bindWaiting(xcb_connection_t* c, xcb_keysym_t sym, bool levelOneOnly,
                                         const std::vector<xcb_keysym_t>& keep);
    void hold(xcb_connection_t* c, xcb_keycode_t keycode);
    void letGo(xcb_connection_t* c, xcb_keycode_t keycode);
    bool typeText(X11Session& session, std::u16string_view units);
    void releaseEverything(X11Session& session);
};

// A character or key that the keymap lacks, when no keycode is left to borrow for it;
// `format` prints `value`.
PlatformError x11NoKeyFor(const char* format, unsigned value);
