#include "platform/keysyms/Keysyms.hpp"

#include <array>
#include <clocale>
#include <cwctype>
#include <locale.h>

namespace {

constexpr std::uint32_t unicodeKeysymBase = 0x01000000;

constexpr std::array<std::uint32_t, 128> virtualKeyTable = [] {
    std::array<std::uint32_t, 128> table{};
    const char* letters = "asdfhgzxcv";
    for (int i = 0; i < 10; ++i)
        table[i] = static_cast<unsigned char>(letters[i]);
    const std::pair<int, std::uint32_t> entries[] = {
        {11, 'b'}, {12, 'q'}, {13, 'w'}, {14, 'e'}, {15, 'r'}, {16, 'y'}, {17, 't'},
        {18, '1'}, {19, '2'}, {20, '3'}, {21, '4'}, {22, '6'}, {23, '5'}, {24, '='}, {25, '9'},
        {26, '7'}, {27, '-'}, {28, '8'}, {29, '0'}, {30, ']'}, {31, 'o'}, {32, 'u'}, {33, '['},
        {34, 'i'}, {35, 'p'}, {36, 0xff0d /* Return */}, {37, 'l'}, {38, 'j'}, {39, '\''},
        {40, 'k'}, {41, ';'}, {42, '\\'}, {43, ','}, {44, '/'}, {45, 'n'}, {46, 'm'}, {47, '.'},
        {48, 0xff09 /* Tab */}, {49, ' '}, {50, '`'}, {51, 0xff08 /* BackSpace */},
        {53, 0xff1b /* Escape */},
        // Command is the platform's shortcut modifier: Control here. Control takes the
        // right-hand Control key so that both can be down together.
        {55, 0xffe3 /* Control_L */}, {56, 0xffe1 /* Shift_L */}, {57, 0xffe5 /* Caps_Lock */},
        {58, 0xffe9 /* Alt_L */}, {59, 0xffe4 /* Control_R */},
        {96, 0xffc2 /* F5 */}, {97, 0xffc3 /* F6 */}, {98, 0xffc4 /* F7 */}, {99, 0xffc0 /* F3 */},
        {100, 0xffc5 /* F8 */}, {101, 0xffc6 /* F9 */}, {103, 0xffc8 /* F11 */}, {105, 0xffca /* F13 */},
        {107, 0xffcb /* F14 */}, {109, 0xffc7 /* F10 */}, {111, 0xffc9 /* F12 */}, {113, 0xffcc /* F15 */},
        // Help has no key on these keyboards; Insert sits where it does.
        {114, 0xff63 /* Insert */}, {115, 0xff50 /* Home */}, {116, 0xff55 /* Prior */},
        {117, 0xffff /* Delete */}, {118, 0xffc1 /* F4 */}, {119, 0xff57 /* End */},
        {120, 0xffbf /* F2 */}, {121, 0xff56 /* Next */}, {122, 0xffbe /* F1 */},
        {123, 0xff51 /* Left */}, {124, 0xff53 /* Right */}, {125, 0xff54 /* Down */}, {126, 0xff52 /* Up */},
    };
    for (const auto& [code, keysym] : entries)
        table[code] = keysym;
    return table;
}();

char32_t characterOf(std::uint32_t keysym)
{
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff))
        return keysym;
    if (keysym >= unicodeKeysymBase + 0x100 && keysym <= unicodeKeysymBase + 0x10ffff)
        return keysym - unicodeKeysymBase;
    return 0;
}

// Case mapping by Unicode's tables, whatever the process locale is.
locale_t unicodeLocale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

template <typename Convert>
std::uint32_t convertCase(std::uint32_t keysym, Convert convert)
{
    const char32_t c = characterOf(keysym);
    if (c == 0)
        return keysym;
    char32_t converted = c;
    if (const locale_t locale = unicodeLocale())
        converted = static_cast<char32_t>(convert(static_cast<wint_t>(c), locale));
    else if (c < 0x80)
        converted = static_cast<char32_t>(convert(static_cast<wint_t>(c), static_cast<locale_t>(nullptr)));
    const std::uint32_t result = keysymForCharacter(converted);
    return result ? result : keysym;
}

} // namespace

std::uint32_t keysymForVirtualKey(std::uint16_t virtualKey)
{
    return virtualKey < virtualKeyTable.size() ? virtualKeyTable[virtualKey] : 0;
}

std::uint32_t keysymForCharacter(char32_t c)
{
    // Line breaks and tabs type as their keys. No other control character is typed: in text,
    // backspace, escape and delete would press keys that edit or dismiss.
    switch (c) {
    case U'\t':
        return 0xff09;
    case U'\n':
    case U'\r':
        return 0xff0d;
    default:
        break;
    }
    if (c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
        return 0;
    if (c <= 0xff)
        return c;
    return unicodeKeysymBase + c;
}

std::uint32_t keysymLower(std::uint32_t keysym)
{
    return convertCase(keysym, [](wint_t c, locale_t locale) {
        return locale ? towlower_l(c, locale) : (c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
}

std::uint32_t keysymUpper(std::uint32_t keysym)
{
    return convertCase(keysym, [](wint_t c, locale_t locale) {
        return locale ? towupper_l(c, locale) : (c >= 'a' && c <= 'z' ? c - 32 : c);
    });
}
