#include "platform/wayland/WaylandKeymap.hpp"

#include <xkbcommon/xkbcommon.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

// The keymap as a client reads it: compiled by xkbcommon, with a state.
struct Compiled {
    explicit Compiled(const WaylandKeymap& keymap)
        : context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), xkb_context_unref),
          map(xkb_keymap_new_from_string(context.get(), keymap.text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                         XKB_KEYMAP_COMPILE_NO_FLAGS),
              xkb_keymap_unref),
          state(map ? xkb_state_new(map.get()) : nullptr, xkb_state_unref)
    {
    }

    // What pressing the key types with the modifiers given.
    char32_t typed(std::uint32_t code, std::uint32_t depressed = 0, std::uint32_t locked = 0)
    {
        xkb_state_update_mask(state.get(), depressed, 0, locked, 0, 0, 0);
        return xkb_state_key_get_utf32(state.get(), code + 8);
    }

    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context;
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> map;
    std::unique_ptr<xkb_state, void (*)(xkb_state*)> state;
};

TEST(WaylandKeymap, NamedKeysTypeAsOnAUSKeyboardWithTheModifiersFixed)
{
    Compiled keymap{WaylandKeymap()};
    ASSERT_TRUE(keymap.map);
    const auto a = *WaylandKeymap::namedKey(0);
    const auto four = *WaylandKeymap::namedKey(21);
    EXPECT_EQ(keymap.typed(a.code), U'a');
    EXPECT_EQ(keymap.typed(a.code, WaylandKeymap::shiftMask), U'A');
    EXPECT_EQ(keymap.typed(a.code, 0, WaylandKeymap::lockMask), U'A');
    EXPECT_EQ(keymap.typed(four.code), U'4');
    EXPECT_EQ(keymap.typed(four.code, WaylandKeymap::shiftMask), U'$');
    EXPECT_EQ(keymap.typed(four.code, 0, WaylandKeymap::lockMask), U'4');
    // The masks are the keymap's own modifiers, and the keys carry them.
    const struct {
        const char* name;
        std::uint32_t mask;
        std::uint16_t virtualKey;
    } modifiers[] = {{XKB_MOD_NAME_SHIFT, WaylandKeymap::shiftMask, 56},
                     {XKB_MOD_NAME_CAPS, WaylandKeymap::lockMask, 57},
                     {XKB_MOD_NAME_CTRL, WaylandKeymap::controlMask, 55},
                     {XKB_MOD_NAME_CTRL, WaylandKeymap::controlMask, 59},
                     {XKB_MOD_NAME_ALT, WaylandKeymap::altMask, 58}};
    for (const auto& m : modifiers) {
        EXPECT_EQ(1u << xkb_keymap_mod_get_index(keymap.map.get(), m.name), m.mask) << m.name;
        const auto key = *WaylandKeymap::namedKey(m.virtualKey);
        EXPECT_EQ(key.modifier | (key.capsLock ? WaylandKeymap::lockMask : 0), m.mask) << m.virtualKey;
    }
    EXPECT_FALSE(WaylandKeymap::namedKey(10));
    EXPECT_FALSE(WaylandKeymap::namedKey(200));
}

TEST(WaylandKeymap, NoKeyRepeats)
{
    Compiled keymap{WaylandKeymap({U'漢'})};
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.map.get()); code <= xkb_keymap_max_keycode(keymap.map.get());
         ++code)
        EXPECT_FALSE(xkb_keymap_key_repeats(keymap.map.get(), code)) << code;
}

TEST(WaylandKeymap, EveryCharacterOfAChunkTypesItselfWithoutModifiers)
{
    const std::u32string text = U"Hello, wörld! ÜüÀ 漢字 😀 é\u0301 ~`|\\{}";
    const std::vector<char32_t> characters(text.begin(), text.end());
    const WaylandKeymap base;
    EXPECT_FALSE(base.holdsAll(characters));
    const WaylandKeymap keymap = base.holding(characters);
    ASSERT_TRUE(keymap.holdsAll(characters));
    Compiled compiled{keymap};
    ASSERT_TRUE(compiled.map);
    for (const char32_t c : characters) {
        // Held modifiers and Caps Lock are lifted for text; the key alone types the character.
        EXPECT_EQ(compiled.typed(*keymap.codeOf(c)), c) << static_cast<unsigned>(c);
    }
    // Line breaks and tabs are the named keys; control characters type nothing.
    EXPECT_EQ(WaylandKeymap::keyOfText(U'\n')->code, WaylandKeymap::namedKey(36)->code);
    EXPECT_EQ(WaylandKeymap::keyOfText(U'\r')->code, WaylandKeymap::namedKey(36)->code);
    EXPECT_EQ(WaylandKeymap::keyOfText(U'\t')->code, WaylandKeymap::namedKey(48)->code);
    EXPECT_TRUE(base.holdsAll({U'\x1b', U'\x7f', U'\x9f'}));
    EXPECT_FALSE(base.codeOf(U'\x1b'));
}

TEST(WaylandKeymap, AFullKeymapKeepsTheMostRecentCharactersAndMakesRoom)
{
    const std::size_t capacity = WaylandKeymap::extraCapacity();
    ASSERT_GE(capacity, 16u) << "a chunk of text must fit";
    std::vector<char32_t> first, second;
    for (std::size_t i = 0; i < capacity; ++i)
        first.push_back(static_cast<char32_t>(0x4E00 + i));
    const WaylandKeymap full = WaylandKeymap().holding(first);
    EXPECT_TRUE(full.holdsAll(first));
    for (std::size_t i = 0; i < 10; ++i)
        second.push_back(static_cast<char32_t>(0x3040 + i));
    const WaylandKeymap next = full.holding(second);
    EXPECT_TRUE(next.holdsAll(second));
    EXPECT_EQ(next.extra().size(), capacity);
    // The oldest went; the newest of the earlier ones stayed.
    EXPECT_FALSE(next.codeOf(first.front()));
    EXPECT_TRUE(next.codeOf(first.back()));
    // More than fits at once: the first ones, and the rest for another keymap.
    std::vector<char32_t> many;
    for (std::size_t i = 0; i < capacity + 5; ++i)
        many.push_back(static_cast<char32_t>(0x3400 + i));
    const WaylandKeymap partial = WaylandKeymap().holding(many);
    EXPECT_TRUE(partial.codeOf(many[capacity - 1]));
    EXPECT_FALSE(partial.codeOf(many[capacity]));
    Compiled compiled{partial};
    EXPECT_TRUE(compiled.map);
}

} // namespace
