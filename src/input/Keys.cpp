#include "input/Keys.hpp"

#include "base/Text.hpp"

#include <string>
#include <unordered_map>
#include <utility>

namespace {

struct ModifierEntry {
    std::uint16_t code;
    EventFlags flag;
};

const std::unordered_map<std::string, ModifierEntry>& modifiers()
{
    // "ctrl" is one more name for Command, the shortcut modifier callers mean by it; only
    // the full word "control" reaches the Control key.
    static const std::unordered_map<std::string, ModifierEntry> table{
        {"cmd", {Keys::command, Keys::commandFlag}},
        {"command", {Keys::command, Keys::commandFlag}},
        {"meta", {Keys::command, Keys::commandFlag}},
        {"win", {Keys::command, Keys::commandFlag}},
        {"super", {Keys::command, Keys::commandFlag}},
        {"ctrl", {Keys::command, Keys::commandFlag}},
        {"control", {Keys::control, Keys::controlFlag}},
        {"shift", {Keys::shift, Keys::shiftFlag}},
        {"alt", {Keys::option, Keys::optionFlag}},
        {"option", {Keys::option, Keys::optionFlag}},
    };
    return table;
}

const std::unordered_map<std::string, std::uint16_t>& codes()
{
    static const std::unordered_map<std::string, std::uint16_t> table{
        // letters
        {"a", 0}, {"s", 1}, {"d", 2}, {"f", 3}, {"h", 4}, {"g", 5}, {"z", 6}, {"x", 7}, {"c", 8},
        {"v", 9}, {"b", 11}, {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16}, {"t", 17},
        {"o", 31}, {"u", 32}, {"i", 34}, {"p", 35}, {"l", 37}, {"j", 38}, {"k", 40}, {"n", 45},
        {"m", 46},
        // digits
        {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"6", 22}, {"5", 23}, {"9", 25}, {"7", 26},
        {"8", 28}, {"0", 29},
        // punctuation
        {"=", 24}, {"-", 27}, {"]", 30}, {"[", 33}, {"'", 39}, {";", 41}, {"\\", 42}, {",", 43},
        {"/", 44}, {".", 47}, {"`", 50},
        // editing and navigation; "insert" has no key of its own and posts Help
        {"return", 36}, {"enter", 36}, {"tab", 48}, {"space", 49}, {"backspace", 51}, {"esc", 53},
        {"escape", 53}, {"capslock", 57}, {"insert", 114}, {"help", 114}, {"home", 115},
        {"pageup", 116}, {"page_up", 116}, {"page up", 116}, {"del", 117}, {"delete", 117},
        {"end", 119}, {"pagedown", 121}, {"page_down", 121}, {"page down", 121},
        // arrows
        {"left", 123}, {"arrowleft", 123}, {"right", 124}, {"arrowright", 124}, {"down", 125},
        {"arrowdown", 125}, {"up", 126}, {"arrowup", 126},
        // function keys
        {"f1", 122}, {"f2", 120}, {"f3", 99}, {"f4", 118}, {"f5", 96}, {"f6", 97}, {"f7", 98},
        {"f8", 100}, {"f9", 101}, {"f10", 109}, {"f11", 103}, {"f12", 111}, {"f13", 105},
        {"f14", 107}, {"f15", 113},
    };
    return table;
}

// Only ASCII names are in the tables. The one character outside ASCII whose Unicode
// lower case is ASCII is the Kelvin sign (to "k"); every other character is kept as it is,
// which cannot match, just as its true lower case could not.
std::string lowered(std::string_view text)
{
    static constexpr std::string_view kelvinSign = "\u212A";
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, kelvinSign.size()) == kelvinSign) {
            result += 'k';
            i += kelvinSign.size();
            continue;
        }
        const char c = text[i++];
        result += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return result;
}

} // namespace

Key Keys::lookup(std::string_view name)
{
    // Text that is not UTF-8 cannot name a key; trimming it would read past its errors.
    if (!isValidUTF8(name))
        throw Failure{std::string(name)};
    std::string key = lowered(trimSpacesAndTabs(name));
    // "num5" and "numa" name the plain keys: keypads have no names of their own here.
    if (key.size() == 4 && key.starts_with("num"))
        key.erase(0, 3);
    if (const auto found = modifiers().find(key); found != modifiers().end())
        return Key{found->second.code, found->second.flag};
    if (const auto found = codes().find(key); found != codes().end())
        return Key{found->second, std::nullopt};
    throw Failure{std::string(name)};
}

std::vector<std::uint16_t> Keys::modifierCodes(EventFlags flags)
{
    std::vector<std::uint16_t> result;
    for (const auto& [flag, code] : {std::pair{commandFlag, command}, std::pair{controlFlag, control},
                                     std::pair{optionFlag, option}, std::pair{shiftFlag, shift}}) {
        if (flags & flag)
            result.push_back(code);
    }
    return result;
}
