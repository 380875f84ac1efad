#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

class WaylandSession;

// The keysyms that the seat's keyboard types in its first layout, at any level, as the
// compositor's keymap says: what the user's own layout can type. Nothing when the seat has
// no keyboard or sends no keymap within a second. One round trip and a keymap parse.
std::optional<std::set<std::uint32_t>> waylandLayoutKeysyms(WaylandSession& session);

// Where a keysym sits on the seat's keyboard: the key (a Linux input code) and whether Shift
// or the level-three shift (AltGr) must be held for it.
struct WaylandKeyPlace {
    std::uint32_t code = 0;
    bool shift = false;
    bool levelThree = false;
};

// Every keysym of the first layout that a key types with no modifier, Shift, AltGr or both,
// at the place that needs the fewest modifiers. The same conditions as above.
std::optional<std::map<std::uint32_t, WaylandKeyPlace>> waylandLayoutKeys(WaylandSession& session);
