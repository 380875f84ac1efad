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

std::optional<std::set<std::uint32_t>> waylandLayoutKeysyms(WaylandSession& session)
{
    if (!session.seat() || !session.seatHasKeyboard())
        return std::nullopt;
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
    if (keymap.text.empty())
        return std::nullopt;

    const std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                             xkb_context_unref);
    if (!context)
        return std::nullopt;
    const std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> parsed(
        xkb_keymap_new_from_string(context.get(), keymap.text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                   XKB_KEYMAP_COMPILE_NO_FLAGS),
        xkb_keymap_unref);
    if (!parsed)
        return std::nullopt;
    std::set<std::uint32_t> keysyms;
    const xkb_keycode_t last = xkb_keymap_max_keycode(parsed.get());
    for (xkb_keycode_t key = xkb_keymap_min_keycode(parsed.get()); key <= last; ++key) {
        if (xkb_keymap_num_layouts_for_key(parsed.get(), key) == 0)
            continue;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(parsed.get(), key, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(parsed.get(), key, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                keysyms.insert(syms[i]);
        }
    }
    return keysyms;
}
