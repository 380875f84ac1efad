#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The keymap of our virtual keyboard, which is ours alone: the compositor and its clients
// read keys through it and nothing else, so it is written to fit what is typed. It holds
// the named keys where a US keyboard has them (two levels, Shift and Caps Lock as usual), and
// beside them one key of one level for every printable ASCII character and for each further
// character asked for: text needs no modifier and no layout, and a character the keymap
// lacks is added by sending a new keymap before its keys, which reaches every client in
// order with them. No key repeats: a key held down stays one press, as clients that repeat
// keys themselves honour. Pure logic; the keymap is plain xkb text.
class WaylandKeymap {
public:
    // Key numbers are the virtual keyboard's (Linux input codes: xkb keycodes less 8).
    struct NamedKey {
        std::uint32_t code = 0;
        // The modifier the key holds down (masks below), 0 for none.
        std::uint32_t modifier = 0;
        bool capsLock = false;
    };

    // The real modifiers' masks, in the fixed order xkb numbers them.
    static constexpr std::uint32_t shiftMask = 1u << 0;
    static constexpr std::uint32_t lockMask = 1u << 1;
    static constexpr std::uint32_t controlMask = 1u << 2;
    static constexpr std::uint32_t altMask = 1u << 3;

    // The key of a virtual key code of the key tables: Command presses the left Control key,
    // Control the right one, Option Alt. Nothing for a code with no key.
    static std::optional<NamedKey> namedKey(std::uint16_t virtualKey);

    // What a character of text types: a named key (Return for line breaks, Tab), a keysym of
    // its own, or nothing for the control characters, which type nothing.
    static std::optional<NamedKey> keyOfText(char32_t character);
    static std::uint32_t keysymOf(char32_t character);

    // How many characters beyond printable ASCII one keymap holds.
    static std::size_t extraCapacity();

    // Named keys, printable ASCII and the given characters (at most extraCapacity(), the
    // first ones kept; repeats and characters with keys of their own are left out).
    explicit WaylandKeymap(const std::vector<char32_t>& extra = {});

    // This keymap with the characters added: those it held already stay as long as there is
    // room, the most recently added first.
    WaylandKeymap holding(const std::vector<char32_t>& characters) const;
    // Whether every character has a key (control characters need none).
    bool holdsAll(const std::vector<char32_t>& characters) const;
    // The key that types the character; nothing when this keymap lacks it.
    std::optional<std::uint32_t> codeOf(char32_t character) const;

    // The keymap in xkb's text format (XKB_KEYMAP_FORMAT_TEXT_V1).
    const std::string& text() const { return text_; }
    const std::vector<char32_t>& extra() const { return extra_; }

private:
    std::vector<char32_t> extra_;
    std::vector<std::pair<char32_t, std::uint32_t>> characters_; // character, code
    std::string text_;
};
