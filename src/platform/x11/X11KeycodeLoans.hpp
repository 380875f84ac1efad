#pragma once

#include "platform/x11/X11Keymap.hpp"

#include <xcb/xcb.h>

#include <array>
#include <bitset>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

// Spare keycodes, bound for the moment to characters the keymap lacks so that they can be
// typed. A borrowed keycode carries two characters: the first typed alone, the second with
// Shift (a cased letter bound on its own keeps its lower- and upper-case pair).
//
// Clients fetch the keymap lazily after the MappingNotify that precedes a key event, so a
// level is rebound only once the server has confirmed its last use (markUsed) and the
// clients have had time to read it. Bindings are collected and sent together (send), one
// request per run of adjacent keycodes, so that clients reload the keymap once per run.
//
// Keeps no connection: the caller sends what it asks for and gives back in the end.
class X11KeycodeLoans {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int levels = 2;

    struct Level {
        xcb_keysym_t sym = 0;
        // When the server was last known to have taken a key event that read this binding;
        // nothing when never typed since it was bound, and then it may be rebound at once.
        std::optional<Clock::time_point> lastUsed;
    };
    using Loan = std::array<Level, levels>;

    // What bind() found: a stroke, or when none is free, the moment the first level settles.
    struct Binding {
        std::optional<X11Stroke> stroke;
        std::optional<Clock::time_point> settlesAt;
    };

    explicit X11KeycodeLoans(X11Keymap& keymap) : keymap_(keymap) {}

    // Forgets every loan: the server is new and holds none of them.
    void clear();
    // Drops the loans that the server no longer shows as ours (a new layout rebound them).
    void forgetRebound();

    bool isBorrowed(xcb_keycode_t keycode) const { return borrowed_[keycode]; }
    const std::bitset<256>& borrowed() const { return borrowed_; }
    const std::map<xcb_keycode_t, Loan>& loans() const { return loans_; }

    // A level already bound to `sym`, without Shift first.
    std::optional<X11Stroke> find(xcb_keysym_t sym, bool levelOneOnly) const;
    // Binds `sym` to a level: a fresh keycode first, then a level never typed, then the level
    // used longest ago once it has settled. Levels bound to a symbol in `keep` stay, and so do
    // keycodes in `held`. `shiftAvailable`: the keymap has a Shift key to reach second levels.
    Binding bind(xcb_keysym_t sym, bool levelOneOnly, bool shiftAvailable, const std::vector<xcb_keysym_t>& keep,
                 const std::bitset<256>& held);
    // Whether some character could be bound now or once levels settle.
    bool canLend(const std::bitset<256>& held) const;
    // Sends the bindings made since the last call and records them in the keymap.
    void send(xcb_connection_t* connection);
    // The server has taken the key events of these strokes: their levels start settling.
    void markUsed(const std::vector<X11Stroke>& strokes, Clock::time_point when);
    // Unbinds every loan not in `held`. Waits first until recent uses have settled.
    void giveBack(xcb_connection_t* connection, const std::bitset<256>& held);

private:
    std::optional<xcb_keycode_t> emptyKeycode(const std::bitset<256>& held) const;
    void lend(xcb_keycode_t keycode, const Loan& loan);
    void sendRow(xcb_connection_t* connection, xcb_keycode_t first, const std::vector<xcb_keysym_t>& rows, int count);

    X11Keymap& keymap_;
    std::map<xcb_keycode_t, Loan> loans_;
    std::bitset<256> borrowed_;
    // Keycodes whose binding changed since they were last sent to the server.
    std::vector<xcb_keycode_t> pending_;
};
