#include "input/Keys.hpp"

#include <gtest/gtest.h>

namespace {

struct LookupCase {
    const char* name;
    std::uint16_t code;
    std::optional<EventFlags> modifier;
};

TEST(Keys, LookupTable)
{
    const LookupCase cases[] = {
        {"Enter", 36, std::nullopt},
        {"return", 36, std::nullopt},
        {"  RETURN  ", 36, std::nullopt},
        {"\ta ", 0, std::nullopt},
        {"\xC2\xA0" "a\xE3\x80\x80", 0, std::nullopt}, // no-break space and ideographic space
        {"ctrl", 55, Keys::commandFlag},
        {"CMD", 55, Keys::commandFlag},
        {"meta", 55, Keys::commandFlag},
        {"win", 55, Keys::commandFlag},
        {"super", 55, Keys::commandFlag},
        {"control", 59, Keys::controlFlag},
        {"Alt", 58, Keys::optionFlag},
        {"OPTION", 58, Keys::optionFlag},
        {"shift", 56, Keys::shiftFlag},
        {"NUM5", 23, std::nullopt},
        {"num5", 23, std::nullopt},
        {"numa", 0, std::nullopt},
        {"page up", 116, std::nullopt},
        {"page_up", 116, std::nullopt},
        {"pageup", 116, std::nullopt},
        {"page down", 121, std::nullopt},
        {"backspace", 51, std::nullopt},
        {"del", 117, std::nullopt},
        {"delete", 117, std::nullopt},
        {"insert", 114, std::nullopt},
        {"help", 114, std::nullopt},
        {"\\", 42, std::nullopt},
        {"`", 50, std::nullopt},
        {"'", 39, std::nullopt},
        {"f1", 122, std::nullopt},
        {"F15", 113, std::nullopt},
        {"arrowleft", 123, std::nullopt},
        {"up", 126, std::nullopt},
        {"\xE2\x84\xAA", 40, std::nullopt}, // the Kelvin sign lower-cases to k
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Key key = Keys::lookup(c.name);
        EXPECT_EQ(key.code, c.code);
        EXPECT_EQ(key.modifier, c.modifier);
    }
}

TEST(Keys, UnknownNamesCarryTheCallersText)
{
    for (const char* name : {"num", "num10", "page  up", "page-up", "a\n", "F16", "!", "", "kp5", "\xC3\xA9",
                             "\xFF" "a"}) {
        SCOPED_TRACE(name);
        try {
            Keys::lookup(name);
            ADD_FAILURE() << "no failure";
        } catch (const Keys::Failure& failure) {
            EXPECT_EQ(failure.name, name);
        }
    }
}

TEST(Keys, ModifierCodesInFixedOrder)
{
    EXPECT_EQ(Keys::modifierCodes(Keys::shiftFlag | Keys::commandFlag), (std::vector<std::uint16_t>{55, 56}));
    EXPECT_EQ(Keys::modifierCodes(Keys::shiftFlag | Keys::optionFlag | Keys::controlFlag | Keys::commandFlag),
              (std::vector<std::uint16_t>{55, 59, 58, 56}));
    EXPECT_EQ(Keys::modifierCodes(0), std::vector<std::uint16_t>{});
    EXPECT_EQ(Keys::modifierCodes(0x1 | 0x800000), std::vector<std::uint16_t>{});
}

} // namespace
