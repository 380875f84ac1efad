#include "platform/wayland/WaylandSeatKeymap.hpp"

#include "platform/wayland/WaylandConnection.hpp"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct KeymapText {
    bool arrived = false;
    std::string text;
};

void onKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size)
{
    auto& keymap = *static_cast<KeymapText*>(data);
    keymap.arrived = true;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size < (64u << 20)) {
        void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped != MAP_FAILED) {
            const char* text = static_cast<const char*>(mapped);
            keymap.text.assign(text, ::strnlen(text, size));
            ::munmap(mapped, size);
        }
    }
    ::close(fd);
}

void onEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void onLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void onKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void onModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void onRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

const wl_keyboard_listener keyboardListener = {onKeymap, onEnter, onLeave, onKey, onModifiers, onRepeat};

} // namespace

namespace {

// The keymap text the compositor sends the seat's keyboard; empty when there is none.
std::string seatKeymapText(WaylandSession& session)
{
    if (!session.seat() || !session.seatHasKeyboard())
        return {};
    KeymapText keymap;
    wl_keyboard* keyboard = wl_seat_get_keyboard(session.seat());
    wl_keyboard_add_listener(keyboard, &keyboardListener, &keymap);
    try {
        session.dispatchUntil([&] { return keymap.arrived; }, std::chrono::seconds(1));
    } catch (const WaylandNoAnswer&) {
    }
    if (wl_keyboard_get_version(keyboard) >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
        wl_keyboard_release(keyboard);
    else
        wl_keyboard_destroy(keyboard);
    return keymap.text;
}

using Context = std::unique_ptr<xkb_context, decltype(&xkb_context_unref)>;
using Keymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

// Calls `each(keycode, level, keysym)` for every keysym of the first layout.
template <typename Each> bool forEachKeysym(const std::string& text, Each&& each)
{
    if (text.empty())
        return false;
    const Context context(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    if (!context)
        return false;
    const Keymap keymap(xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                   XKB_KEYMAP_COMPILE_NO_FLAGS),
                        xkb_keymap_unref);
    if (!keymap)
        return false;
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap.get());
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap.get()); key <= last; ++key) {
        if (xkb_keymap_num_layouts_for_key(keymap.get(), key) == 0)
            continue;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), key, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), key, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                each(keymap.get(), key, level, syms[i]);
        }
    }
    return true;
}

} // namespace

std::optional<std::set<std::uint32_t>> waylandLayoutKeysyms(WaylandSession& session)
{
    std::set<std::uint32_t> keysyms;
    if (!forEachKeysym(seatKeymapText(session),
                       [&](xkb_keymap*, xkb_keycode_t, xkb_level_index_t, xkb_keysym_t sym) { keysyms.insert(sym); }))
        return std::nullopt;
    return keysyms;
}

std::optional<std::map<std::uint32_t, WaylandKeyPlace>> waylandLayoutKeys(WaylandSession& session)
{
    std::map<std::uint32_t, WaylandKeyPlace> places;
    const auto cost = [](const WaylandKeyPlace& place) { return int{place.shift} + 2 * int{place.levelThree}; };
    const bool parsed = forEachKeysym(seatKeymapText(session), [&](xkb_keymap* keymap, xkb_keycode_t key,
                                                                  xkb_level_index_t level, xkb_keysym_t sym) {
        // The modifiers that reach this level; a level that needs others (Control, a lock) is
        // left out.
        xkb_mod_mask_t masks[8];
        const std::size_t found = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, 8);
        const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
        const xkb_mod_index_t mod5 = xkb_keymap_mod_get_index(keymap, "Mod5");
        const xkb_mod_mask_t levelThree = mod5 == XKB_MOD_INVALID ? 0 : 1u << mod5;
        for (std::size_t i = 0; i < found; ++i) {
            if ((masks[i] & ~(shift | levelThree)) != 0)
                continue;
            WaylandKeyPlace place{key - 8, (masks[i] & shift) != 0, levelThree != 0 && (masks[i] & levelThree) != 0};
            const auto known = places.find(sym);
            if (known == places.end() || cost(place) < cost(known->second))
                places[sym] = place;
        }
    });
    if (!parsed)
        return std::nullopt;
    return places;
}
