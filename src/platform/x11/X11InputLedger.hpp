#pragma once

#include "platform/x11/X11Connection.hpp"

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

// What posting input has taken from the desktop and must give back: keycodes bound to
// characters, keys held down with their auto-repeat turned off. A process that is killed
// cannot give them back itself, so the ledger keeps them on the root window, in a property
// named after a window of this connection. The server destroys that window when the
// connection ends, however it ends; whoever connects next finds the property of a window
// that is gone and gives back what it lists. Properties of live windows belong to running
// processes and are never touched.
class X11InputLedger {
public:
    struct Entry {
        enum Kind : std::uint32_t { borrowed = 1, held = 2 };
        Kind kind = borrowed;
        xcb_keycode_t keycode = 0;
        // borrowed: the two keysyms bound; held: first is 1 when auto-repeat was turned off.
        std::uint32_t first = 0;
        std::uint32_t second = 0;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    // On a new connection: makes this connection's window and property name, then gives
    // back what the entries of connections that are gone list. Throws X11ConnectionLost.
    void open(X11Session& session);
    // Replaces this connection's entries on the server (a request, no round trip); nothing
    // is sent when they have not changed. Write before taking, after giving back.
    void write(xcb_connection_t* connection, const std::vector<Entry>& entries);

private:
    void giveBack(xcb_connection_t* connection, const std::vector<Entry>& entries);

    xcb_window_t root_ = 0;
    xcb_atom_t name_ = 0;
    std::vector<Entry> written_;
};
