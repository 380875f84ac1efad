#pragma once

#include <xcb/xcb.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <vector>

// A key to press for a keysym: its keycode, and whether Shift goes down with it.
struct X11Stroke {
    xcb_keycode_t keycode = 0;
    bool shifted = false;
};

// The keyboard as it is at one moment: the group its symbols come from, the modifiers locked
// on (Caps Lock, Num Lock), and the keys held down by any device.
struct X11KeyboardState {
    int group = 0;
    std::uint8_t lockedModifiers = 0;
    std::array<std::uint8_t, 32> keys{};

    bool isDown(xcb_keycode_t keycode) const { return (keys[keycode / 8] >> (keycode % 8)) & 1; }
};

// The keyboard map as the server's XKB extension holds it: every keycode's symbols by group
// and level, which level Shift alone reaches, and the keys of each modifier. Read again after
// the server reports a change; between reads it answers from memory.
class X11Keymap {
public:
    // Modifier indices of the core protocol.
    static constexpr int shiftModifier = 0;
    static constexpr int lockModifier = 1;

    // Tells the server which XKB version this connection speaks and asks to hear of keymap
    // changes. Call once per connection, before anything else of XKB. Returns the first event
    // number of XKB, or nothing when the server has no XKB.
    static std::optional<std::uint8_t> prepare(xcb_connection_t* connection);
    // One round trip. Throws X11ConnectionLost.
    static X11KeyboardState state(xcb_connection_t* connection);
    // Whether the key auto-repeats while held, and setting it: through XKB's per-key repeat,
    // which, unlike the core request, leaves no mark on the keymap. One round trip each.
    static bool repeats(xcb_connection_t* connection, xcb_keycode_t keycode);
    static void setRepeats(xcb_connection_t* connection, xcb_keycode_t keycode, bool on);

    bool stale() const { return stale_; }
    void markStale() { stale_ = true; }
    // Reads the whole map in one round trip. Throws X11ConnectionLost, or PlatformError when
    // the server will not tell.
    void read(xcb_connection_t* connection, xcb_keycode_t minKeycode, xcb_keycode_t maxKeycode);

    xcb_keycode_t minKeycode() const { return minKeycode_; }
    xcb_keycode_t maxKeycode() const { return maxKeycode_; }
    // The keysyms per keycode of the core map, the width its changes are sent in.
    int coreWidth() const { return coreWidth_; }

    // The symbol at a level of the group `group` as the key reads it: a key with fewer groups
    // folds the group into its own range, as the server does. NoSymbol (0) when there is none.
    xcb_keysym_t symbol(xcb_keycode_t keycode, int group, int level) const;
    // The key of group `group` that types `sym` alone or, unless `levelOneOnly`, with Shift;
    // one without Shift is preferred. Keys in `skip` are not looked at.
    std::optional<X11Stroke> find(xcb_keysym_t sym, int group, bool levelOneOnly,
                                  const std::bitset<256>& skip) const;
    // Whether the keycode carries no symbol at all.
    bool isEmpty(xcb_keycode_t keycode) const;
    // Records a binding this process made, as the server will report it once it has read it.
    void bind(xcb_keycode_t keycode, const std::vector<xcb_keysym_t>& levels);

    // The keys of a modifier (0 Shift, 1 Lock, 2 Control, 3 to 7 Mod1 to Mod5).
    const std::vector<xcb_keycode_t>& modifierKeys(int modifier) const { return modifierKeys_[modifier]; }

private:
    struct Group {
        std::vector<xcb_keysym_t> levels;
        // The level that Shift alone selects; 0 when Shift does not change the level.
        int shiftLevel = 0;
    };
    struct Key {
        // XKB's group info: the number of groups, and what a group beyond them becomes.
        std::uint8_t groupInfo = 0;
        std::vector<Group> groups;
    };
    const Group* groupOf(xcb_keycode_t keycode, int group) const;

    bool stale_ = true;
    xcb_keycode_t minKeycode_ = 8;
    xcb_keycode_t maxKeycode_ = 255;
    int coreWidth_ = 2;
    std::array<Key, 256> keys_;
    std::array<std::vector<xcb_keycode_t>, 8> modifierKeys_;
};
