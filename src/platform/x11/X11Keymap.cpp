#include "platform/x11/X11Keymap.hpp"

#include "platform/x11/X11Connection.hpp"

// xcb's XKB header names a member `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>

namespace {

constexpr xcb_keysym_t noSymbol = 0;
constexpr std::uint16_t coreKeyboard = XCB_XKB_ID_USE_CORE_KBD;

constexpr std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
    | XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS
    | XCB_XKB_MAP_PART_KEY_BEHAVIORS | XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;

// The level that Shift alone selects in a key type.
int shiftLevelOf(const xcb_xkb_key_type_t* type)
{
    if (!(type->mods_mask & XCB_MOD_MASK_SHIFT))
        return 0;
    const xcb_xkb_kt_map_entry_t* entries = xcb_xkb_key_type_map(type);
    for (int i = 0; i < type->nMapEntries; ++i) {
        if (entries[i].active && entries[i].mods_mask == XCB_MOD_MASK_SHIFT)
            return entries[i].level;
    }
    return 0;
}

} // namespace

std::optional<std::uint8_t> X11Keymap::prepare(xcb_connection_t* connection)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_xkb_id);
    if (!extension || !extension->present)
        return std::nullopt;
    auto version = x11Reply(connection,
                            xcb_xkb_use_extension_reply(connection, xcb_xkb_use_extension(connection, 1, 0), nullptr),
                            nullptr);
    if (!version || !version->supported)
        return std::nullopt;
    // Once XKB is in use the server sends its own notifications in place of the core ones.
    const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    xcb_xkb_select_events(connection, coreKeyboard, events, 0, events, mapParts, mapParts, nullptr);
    return extension->first_event;
}

X11KeyboardState X11Keymap::state(xcb_connection_t* connection)
{
    auto stateCookie = xcb_xkb_get_state(connection, coreKeyboard);
    auto keysCookie = xcb_query_keymap(connection);
    auto xkbState = x11Reply(connection, xcb_xkb_get_state_reply(connection, stateCookie, nullptr), nullptr);
    auto keys = x11Reply(connection, xcb_query_keymap_reply(connection, keysCookie, nullptr), nullptr);
    X11KeyboardState result;
    if (xkbState) {
        result.group = xkbState->group;
        result.lockedModifiers = xkbState->lockedMods;
    }
    if (keys)
        std::copy(std::begin(keys->keys), std::end(keys->keys), result.keys.begin());
    return result;
}

namespace {

X11Reply<xcb_xkb_get_controls_reply_t> controls(xcb_connection_t* connection)
{
    return x11Reply(connection,
                    xcb_xkb_get_controls_reply(connection, xcb_xkb_get_controls(connection, coreKeyboard), nullptr),
                    nullptr);
}

} // namespace

bool X11Keymap::repeats(xcb_connection_t* connection, xcb_keycode_t keycode)
{
    const auto current = controls(connection);
    return current && ((current->perKeyRepeat[keycode / 8] >> (keycode % 8)) & 1);
}

void X11Keymap::setRepeats(xcb_connection_t* connection, xcb_keycode_t keycode, bool on)
{
    const auto current = controls(connection);
    if (!current)
        return;
    std::uint8_t bits[32];
    std::copy(std::begin(current->perKeyRepeat), std::end(current->perKeyRepeat), bits);
    const auto bit = static_cast<std::uint8_t>(1u << (keycode % 8));
    bits[keycode / 8] = on ? (bits[keycode / 8] | bit) : (bits[keycode / 8] & ~bit);
    xcb_xkb_set_controls(connection, coreKeyboard, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         XCB_XKB_CONTROL_PER_KEY_REPEAT, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, bits);
}

void X11Keymap::read(xcb_connection_t* connection, xcb_keycode_t minKeycode, xcb_keycode_t maxKeycode)
{
    const std::uint16_t parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS;
    auto mapCookie = xcb_xkb_get_map(connection, coreKeyboard, parts, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    auto modifiersCookie = xcb_get_modifier_mapping(connection);
    auto widthCookie = xcb_get_keyboard_mapping(connection, minKeycode, 1);
    xcb_generic_error_t* error = nullptr;
    auto map = x11Required(connection, xcb_xkb_get_map_reply(connection, mapCookie, &error), error, "XkbGetMap");
    error = nullptr;
    auto modifiers = x11Required(connection, xcb_get_modifier_mapping_reply(connection, modifiersCookie, &error),
                                 error, "GetModifierMapping");
    auto width = x11Reply(connection, xcb_get_keyboard_mapping_reply(connection, widthCookie, nullptr), nullptr);

    xcb_xkb_get_map_map_t parsed{};
    xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(map.get()), map->nTypes, map->nKeySyms, map->nKeyActions,
                               map->totalActions, map->totalKeyBehaviors, map->virtualMods, map->totalKeyExplicit,
                               map->totalModMapKeys, map->totalVModMapKeys, map->present, &parsed);
    std::vector<int> shiftLevels;
    for (auto types = xcb_xkb_get_map_map_types_rtrn_iterator(map.get(), &parsed); types.rem;
         xcb_xkb_key_type_next(&types))
        shiftLevels.push_back(shiftLevelOf(types.data));

    keys_.fill(Key{});
    int keycode = map->firstKeySym;
    for (auto syms = xcb_xkb_get_map_map_syms_rtrn_iterator(map.get(), &parsed); syms.rem && keycode < 256;
         xcb_xkb_key_sym_map_next(&syms), ++keycode) {
        const xcb_xkb_key_sym_map_t* entry = syms.data;
        const xcb_keysym_t* symbols = xcb_xkb_key_sym_map_syms(entry);
        const int groups = std::min(entry->groupInfo & 0x0f, 4);
        const int levels = entry->width;
        Key& key = keys_[static_cast<std::size_t>(keycode)];
        key.groupInfo = entry->groupInfo;
        if (groups * levels > entry->nSyms)
            continue;
        for (int group = 0; group < groups; ++group) {
            Group g;
            g.levels.assign(symbols + group * levels, symbols + (group + 1) * levels);
            const std::size_t type = entry->kt_index[group];
            g.shiftLevel = type < shiftLevels.size() && shiftLevels[type] < levels ? shiftLevels[type] : 0;
            key.groups.push_back(std::move(g));
        }
    }

    const xcb_keycode_t* modifierKeys = xcb_get_modifier_mapping_keycodes(modifiers.get());
    const int perModifier = modifiers->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        modifierKeys_[modifier].clear();
        for (int i = 0; i < perModifier; ++i) {
            if (const xcb_keycode_t key = modifierKeys[modifier * perModifier + i])
                modifierKeys_[modifier].push_back(key);
        }
    }
    minKeycode_ = minKeycode;
    maxKeycode_ = maxKeycode;
    coreWidth_ = std::max<int>(width ? width->keysyms_per_keycode : 0, 2);
    stale_ = false;
}

const X11Keymap::Group* X11Keymap::groupOf(xcb_keycode_t keycode, int group) const
{
    const Key& key = keys_[keycode];
    const int count = static_cast<int>(key.groups.size());
    if (count == 0)
        return nullptr;
    if (group >= count || group < 0) {
        switch (key.groupInfo & 0xc0) {
        case XCB_XKB_GROUPS_WRAP_CLAMP_INTO_RANGE:
            group = count - 1;
            break;
        case XCB_XKB_GROUPS_WRAP_REDIRECT_INTO_RANGE:
            group = (key.groupInfo >> 4) & 0x03;
            if (group >= count)
                group = 0;
            break;
        default:
            group = ((group % count) + count) % count;
            break;
        }
    }
    return &key.groups[static_cast<std::size_t>(group)];
}

xcb_keysym_t X11Keymap::symbol(xcb_keycode_t keycode, int group, int level) const
{
    const Group* g = groupOf(keycode, group);
    if (!g || level < 0 || level >= static_cast<int>(g->levels.size()))
        return noSymbol;
    return g->levels[static_cast<std::size_t>(level)];
}

std::optional<X11Stroke> X11Keymap::find(xcb_keysym_t sym, int group, bool levelOneOnly,
                                         const std::bitset<256>& skip) const
{
    std::optional<X11Stroke> shifted;
    for (int keycode = minKeycode_; keycode <= maxKeycode_; ++keycode) {
        const auto code = static_cast<xcb_keycode_t>(keycode);
        if (skip[code])
            continue;
        const Group* g = groupOf(code, group);
        if (!g || g->levels.empty())
            continue;
        if (g->levels[0] == sym)
            return X11Stroke{code, false};
        if (!levelOneOnly && !shifted && g->shiftLevel > 0 && g->levels[static_cast<std::size_t>(g->shiftLevel)] == sym)
            shifted = X11Stroke{code, true};
    }
    return shifted;
}

bool X11Keymap::isEmpty(xcb_keycode_t keycode) const
{
    for (const Group& group : keys_[keycode].groups) {
        if (std::any_of(group.levels.begin(), group.levels.end(), [](xcb_keysym_t sym) { return sym != noSymbol; }))
            return false;
    }
    return true;
}

void X11Keymap::bind(xcb_keycode_t keycode, const std::vector<xcb_keysym_t>& levels)
{
    Key& key = keys_[keycode];
    key = Key{};
    if (std::all_of(levels.begin(), levels.end(), [](xcb_keysym_t sym) { return sym == noSymbol; }))
        return;
    key.groupInfo = 1;
    key.groups.push_back(Group{levels, levels.size() > 1 && levels[1] != noSymbol ? 1 : 0});
}
