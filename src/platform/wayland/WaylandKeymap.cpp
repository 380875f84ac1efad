#include "platform/wayland/WaylandKeymap.hpp"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Linux input codes (linux/input-event-codes.h) of the keys used.
struct KeyPlace {
    std::uint16_t virtualKey;
    std::uint32_t code;
    std::uint32_t level1; // keysyms
    std::uint32_t level2;
};

constexpr std::uint32_t none = 0;
constexpr std::uint32_t returnSym = 0xff0d, tabSym = 0xff09, shiftLSym = 0xffe1, controlLSym = 0xffe3,
                        controlRSym = 0xffe4, capsLockSym = 0xffe5, altLSym = 0xffe9;
constexpr std::uint32_t returnCode = 28, tabCode = 15;

// The named keys of the virtual key table on a US keyboard.
constexpr KeyPlace namedKeys[] = {
    {0, 30, 'a', 'A'},   {1, 31, 's', 'S'},   {2, 32, 'd', 'D'},    {3, 33, 'f', 'F'},   {4, 35, 'h', 'H'},
    {5, 34, 'g', 'G'},   {6, 44, 'z', 'Z'},   {7, 45, 'x', 'X'},    {8, 46, 'c', 'C'},   {9, 47, 'v', 'V'},
    {11, 48, 'b', 'B'},  {12, 16, 'q', 'Q'},  {13, 17, 'w', 'W'},   {14, 18, 'e', 'E'},  {15, 19, 'r', 'R'},
    {16, 21, 'y', 'Y'},  {17, 20, 't', 'T'},  {18, 2, '1', '!'},    {19, 3, '2', '@'},   {20, 4, '3', '#'},
    {21, 5, '4', '$'},   {22, 7, '6', '^'},   {23, 6, '5', '%'},    {24, 13, '=', '+'},  {25, 10, '9', '('},
    {26, 8, '7', '&'},   {27, 12, '-', '_'},  {28, 9, '8', '*'},    {29, 11, '0', ')'},  {30, 27, ']', '}'},
    {31, 24, 'o', 'O'},  {32, 22, 'u', 'U'},  {33, 26, '[', '{'},   {34, 23, 'i', 'I'},  {35, 25, 'p', 'P'},
    {36, returnCode, returnSym, none},        {37, 38, 'l', 'L'},   {38, 36, 'j', 'J'},  {39, 40, '\'', '"'},
    {40, 37, 'k', 'K'},  {41, 39, ';', ':'},  {42, 43, '\\', '|'},  {43, 51, ',', '<'},  {44, 53, '/', '?'},
    {45, 49, 'n', 'N'},  {46, 50, 'm', 'M'},  {47, 52, '.', '>'},   {48, tabCode, tabSym, none},
    {49, 57, ' ', none}, {50, 41, '`', '~'},  {51, 14, 0xff08 /* BackSpace */, none},
    {53, 1, 0xff1b /* Escape */, none},
    // Command is the platform's shortcut modifier: Control here. Control takes the right-hand
    // Control key so that both can be down together.
    {55, 29, controlLSym, none}, {56, 42, shiftLSym, none}, {57, 58, capsLockSym, none},
    {58, 56, altLSym, none},     {59, 97, controlRSym, none},
    {96, 63, 0xffc2 /* F5 */, none},   {97, 64, 0xffc3 /* F6 */, none},   {98, 65, 0xffc4 /* F7 */, none},
    {99, 61, 0xffc0 /* F3 */, none},   {100, 66, 0xffc5 /* F8 */, none},  {101, 67, 0xffc6 /* F9 */, none},
    {103, 87, 0xffc8 /* F11 */, none}, {105, 183, 0xffca /* F13 */, none}, {107, 184, 0xffcb /* F14 */, none},
    {109, 68, 0xffc7 /* F10 */, none}, {111, 88, 0xffc9 /* F12 */, none}, {113, 185, 0xffcc /* F15 */, none},
    // Help has no key on these keyboards; Insert sits where it does.
    {114, 110, 0xff63 /* Insert */, none}, {115, 102, 0xff50 /* Home */, none}, {116, 104, 0xff55 /* Prior */, none},
    {117, 111, 0xffff /* Delete */, none}, {118, 62, 0xffc1 /* F4 */, none},   {119, 107, 0xff57 /* End */, none},
    {120, 60, 0xffbf /* F2 */, none},      {121, 109, 0xff56 /* Next */, none}, {122, 59, 0xffbe /* F1 */, none},
    {123, 105, 0xff51 /* Left */, none},   {124, 106, 0xff53 /* Right */, none}, {125, 108, 0xff54 /* Down */, none},
    {126, 103, 0xff52 /* Up */, none},
};

// xkb numbers keys from 8 up to 255 (the most an X server inside the desktop takes).
constexpr std::uint32_t xkbOffset = 8;
constexpr std::uint32_t highestKeycode = 255;

constexpr char32_t firstPrintable = 0x20, lastPrintable = 0x7e;
constexpr std::size_t printableCount = lastPrintable - firstPrintable + 1;

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

bool isCharacter(char32_t c)
{
    return !isControl(c) && !(c >= 0xd800 && c <= 0xdfff) && c <= 0x10ffff;
}

bool isPrintableASCII(char32_t c)
{
    return c >= firstPrintable && c <= lastPrintable;
}

// The keys left over for text once the named keys have theirs, in order.
const std::vector<std::uint32_t>& textCodes()
{
    static const std::vector<std::uint32_t> codes = [] {
        std::vector<std::uint32_t> free;
        for (std::uint32_t code = 1; code + xkbOffset <= highestKeycode; ++code) {
            const bool named = std::any_of(std::begin(namedKeys), std::end(namedKeys),
                                           [code](const KeyPlace& key) { return key.code == code; });
            if (!named)
                free.push_back(code);
        }
        return free;
    }();
    return codes;
}

std::string hex(std::uint32_t keysym)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", keysym);
    return text;
}

std::string keyName(std::uint32_t code)
{
    return "<K" + std::to_string(code + xkbOffset) + ">";
}

std::uint32_t modifierOf(std::uint32_t keysym)
{
    switch (keysym) {
    case shiftLSym: return WaylandKeymap::shiftMask;
    case controlLSym:
    case controlRSym: return WaylandKeymap::controlMask;
    case altLSym: return WaylandKeymap::altMask;
    default: return 0;
    }
}

bool isLetter(std::uint32_t keysym)
{
    return keysym >= 'a' && keysym <= 'z';
}

} // namespace

std::optional<WaylandKeymap::NamedKey> WaylandKeymap::namedKey(std::uint16_t virtualKey)
{
    for (const KeyPlace& key : namedKeys) {
        if (key.virtualKey == virtualKey)
            return NamedKey{key.code, modifierOf(key.level1), key.level1 == capsLockSym};
    }
    return std::nullopt;
}

std::optional<WaylandKeymap::NamedKey> WaylandKeymap::keyOfText(char32_t character)
{
    if (character == U'\n' || character == U'\r')
        return NamedKey{returnCode, 0, false};
    if (character == U'\t')
        return NamedKey{tabCode, 0, false};
    return std::nullopt;
}

std::uint32_t WaylandKeymap::keysymOf(char32_t character)
{
    if (!isCharacter(character))
        return 0;
    return xkb_utf32_to_keysym(static_cast<std::uint32_t>(character));
}

std::size_t WaylandKeymap::extraCapacity()
{
    return textCodes().size() - printableCount;
}

WaylandKeymap::WaylandKeymap(const std::vector<char32_t>& extra)
{
    for (const char32_t c : extra) {
        if (extra_.size() < extraCapacity() && isCharacter(c) && !isPrintableASCII(c) && keysymOf(c) != 0
            && std::find(extra_.begin(), extra_.end(), c) == extra_.end())
            extra_.push_back(c);
    }
    const auto& codes = textCodes();
    std::size_t next = 0;
    for (char32_t c = firstPrintable; c <= lastPrintable; ++c)
        characters_.emplace_back(c, codes[next++]);
    for (const char32_t c : extra_)
        characters_.emplace_back(c, codes[next++]);

    std::string keycodes = "xkb_keycodes \"velmar\" {\n minimum = 8;\n maximum = 255;\n";
    std::string symbols = "xkb_symbols \"velmar\" {\n";
    std::string modifierMap;
    const auto key = [&](std::uint32_t code, const char* type, const std::string& levels, const char* extraField) {
        keycodes += " " + keyName(code) + " = " + std::to_string(code + xkbOffset) + ";\n";
        symbols += " key " + keyName(code) + " { type = \"" + type + "\", repeat = No," + extraField
            + " symbols[Group1] = [ " + levels + " ] };\n";
    };
    for (const KeyPlace& named : namedKeys) {
        if (named.level2 == none) {
            key(named.code, "ONE_LEVEL", hex(named.level1), named.level1 == altLSym ? " virtualMods = Alt," : "");
        } else {
            key(named.code, isLetter(named.level1) ? "ALPHABETIC" : "TWO_LEVEL",
                hex(named.level1) + ", " + hex(named.level2), "");
        }
        const char* modifier = named.level1 == shiftLSym                                    ? "Shift"
            : named.level1 == capsLockSym                                                   ? "Lock"
            : (named.level1 == controlLSym || named.level1 == controlRSym)                  ? "Control"
            : named.level1 == altLSym                                                       ? "Mod1"
                                                                                            : nullptr;
        if (modifier)
            modifierMap += std::string(" modifier_map ") + modifier + " { " + keyName(named.code) + " };\n";
    }
    for (const auto& [character, code] : characters_)
        key(code, "ONE_LEVEL", hex(keysymOf(character)), "");

    text_ = "xkb_keymap {\n" + keycodes + "};\n"
        + "xkb_types \"velmar\" {\n"
          " virtual_modifiers Alt;\n"
          " type \"ONE_LEVEL\" { modifiers = none; level_name[Level1] = \"Any\"; };\n"
          " type \"TWO_LEVEL\" { modifiers = Shift; map[Shift] = Level2; level_name[Level1] = \"Base\";"
          " level_name[Level2] = \"Shift\"; };\n"
          " type \"ALPHABETIC\" { modifiers = Shift+Lock; map[Shift] = Level2; map[Lock] = Level2;"
          " level_name[Level1] = \"Base\"; level_name[Level2] = \"Caps\"; };\n"
          "};\n"
          "xkb_compatibility \"velmar\" {\n virtual_modifiers Alt;\n};\n"
        + symbols + modifierMap + "};\n};\n";
}

WaylandKeymap WaylandKeymap::holding(const std::vector<char32_t>& characters) const
{
    const std::size_t capacity = extraCapacity();
    std::vector<char32_t> fresh;
    for (const char32_t c : characters) {
        if (fresh.size() < capacity && isCharacter(c) && !isPrintableASCII(c) && keysymOf(c) != 0
            && std::find(fresh.begin(), fresh.end(), c) == fresh.end())
            fresh.push_back(c);
    }
    // Those held already, most recently added first, fill what room is left.
    std::vector<char32_t> kept;
    for (auto held = extra_.rbegin(); held != extra_.rend() && kept.size() + fresh.size() < capacity; ++held) {
        if (std::find(fresh.begin(), fresh.end(), *held) == fresh.end())
            kept.push_back(*held);
    }
    // Oldest first, the characters just asked for last.
    std::vector<char32_t> ordered(kept.rbegin(), kept.rend());
    ordered.insert(ordered.end(), fresh.begin(), fresh.end());
    return WaylandKeymap(ordered);
}

bool WaylandKeymap::holdsAll(const std::vector<char32_t>& characters) const
{
    return std::all_of(characters.begin(), characters.end(), [this](char32_t c) {
        return !isCharacter(c) || keyOfText(c) || keysymOf(c) == 0 || codeOf(c);
    });
}

std::optional<std::uint32_t> WaylandKeymap::codeOf(char32_t character) const
{
    for (const auto& [held, code] : characters_) {
        if (held == character)
            return code;
    }
    return std::nullopt;
}
