#pragma once

#include <cstdint>
#include <optional>
#include <set>

class WaylandSession;

// The keysyms that the seat's keyboard types in its first layout, at any level, as the
// compositor's keymap says: what the user's own layout can type. Nothing when the seat has
// no keyboard or sends no keymap within a second. One round trip and a keymap parse.
std::optional<std::set<std::uint32_t>> waylandLayoutKeysyms(WaylandSession& session);
