#include "Timeline.hpp"
#include "input/Input.hpp"
#include "input/Keyboard.hpp"
#include "input/Keys.hpp"
#include "base/PlatformError.hpp"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class KeyboardTest : public ::testing::Test {
protected:
    FakePlatform fake;
    Keyboard keyboard{fake.inputEvents, fake.clock.clock()};
};

TEST_F(KeyboardTest, TapCarriesHeldFlags)
{
    keyboard.press({"shift"});
    fake.inputEvents.clear();
    keyboard.tap(Keys::returnKey, Keys::commandFlag);
    EXPECT_EQ(eventLines(fake), (Lines{"key 36 down f=120000", "key 36 up f=120000"}));
}

TEST_F(KeyboardTest, HotkeyHoldsEachModifierOnceInOrder)
{
    keyboard.hotkey({"shift", "cmd", "command", "a"});
    EXPECT_EQ(timeline(fake), (Lines{
                                  "key 55 down f=120000", "8ms",
                                  "key 56 down f=120000", "8ms",
                                  "key 0 down f=120000", "8ms",
                                  "key 0 up f=120000", "8ms",
                                  "key 56 up f=0", "8ms",
                                  "key 55 up f=0", "8ms",
                              }));
}

TEST_F(KeyboardTest, HotkeyKeepsDuplicatePlainKeysAndHeldFlagsOnRelease)
{
    keyboard.press({"alt"});
    fake.inputEvents.clear();
    keyboard.hotkey({"control", "x", "x"});
    EXPECT_EQ(eventLines(fake), (Lines{
                                    "key 59 down f=c0000",
                                    "key 7 down f=c0000", "key 7 up f=c0000",
                                    "key 7 down f=c0000", "key 7 up f=c0000",
                                    "key 59 up f=80000",
                                }));
}

TEST_F(KeyboardTest, UnknownNameAnywherePostsNothingAndKeepsState)
{
    keyboard.press({"shift"});
    fake.inputEvents.clear();
    const auto sleepsBefore = fake.clock.sleeps().size();
    for (auto call : {&Keyboard::hotkey, &Keyboard::press, &Keyboard::release}) {
        try {
            (keyboard.*call)({"cmd", "a", "Bogus Key", "b"});
            ADD_FAILURE() << "no failure";
        } catch (const Input::Failure& failure) {
            EXPECT_EQ(failure.message, "unknown key 'Bogus Key'");
        }
    }
    EXPECT_TRUE(fake.inputEvents.events().empty());
    EXPECT_EQ(fake.clock.sleeps().size(), sleepsBefore);
    EXPECT_EQ(keyboard.heldFlags(), Keys::shiftFlag);
    EXPECT_EQ(keyboard.heldCodes(), std::vector<std::uint16_t>{56});
}

TEST_F(KeyboardTest, AHotkeyTheDesktopRefusesMidwayLeavesNoModifierDown)
{
    fake.inputEvents.setRefusal([](const FakeInputEvents::Event& event) -> bool {
        if (event.keyCode == 7)
            throw PlatformError("X11", 0, "the keyboard has no key for keysym 0x78 and none to spare");
        return false;
    });
    EXPECT_THROW(keyboard.hotkey({"cmd", "shift", "x"}), PlatformError);
    EXPECT_EQ(eventLines(fake), (Lines{"key 55 down f=120000", "key 56 down f=120000", "key 56 up f=0",
                                       "key 55 up f=0"}));
}

TEST_F(KeyboardTest, PressAndReleaseBookkeeping)
{
    keyboard.press({"shift"});
    keyboard.press({"SHIFT", "a"});
    EXPECT_EQ(timeline(fake), (Lines{"key 56 down f=20000", "8ms", "key 0 down f=20000", "8ms"}));
    EXPECT_EQ(keyboard.heldCodes(), (std::vector<std::uint16_t>{56, 0}));

    fake.inputEvents.clear();
    keyboard.release({"cmd"}); // never pressed: no event, and no flag to clear
    EXPECT_TRUE(fake.inputEvents.events().empty());

    keyboard.release({"shift", "a"});
    EXPECT_EQ(eventLines(fake), (Lines{"key 0 up f=0", "key 56 up f=0"}));
    EXPECT_EQ(keyboard.heldFlags(), 0u);
    EXPECT_TRUE(keyboard.heldCodes().empty());
}

TEST_F(KeyboardTest, ReleasingAnUnheldModifierStillClearsItsFlag)
{
    keyboard.press({"a"});
    keyboard.press({"shift"});
    // "shift" pressed once under another name: the flag goes, the held Shift key too.
    keyboard.release({"shift"});
    EXPECT_EQ(keyboard.heldFlags(), 0u);
    fake.inputEvents.clear();
    keyboard.release({"shift"});
    EXPECT_TRUE(fake.inputEvents.events().empty());
    EXPECT_EQ(keyboard.heldCodes(), std::vector<std::uint16_t>{0});
}

TEST_F(KeyboardTest, ReleaseAllNewestFirstWithoutFlags)
{
    keyboard.press({"cmd", "a"});
    fake.inputEvents.clear();
    const auto sleepsBefore = fake.clock.sleeps().size();
    keyboard.releaseAll();
    EXPECT_EQ(eventLines(fake), (Lines{"key 0 up f=0", "key 55 up f=0"}));
    EXPECT_EQ(fake.clock.sleeps().size(), sleepsBefore + 2);
    EXPECT_EQ(keyboard.heldFlags(), 0u);
    EXPECT_TRUE(keyboard.heldCodes().empty());
    fake.inputEvents.clear();
    keyboard.releaseAll();
    EXPECT_TRUE(fake.inputEvents.events().empty());
}

TEST_F(KeyboardTest, TypingChunksWithLineBreaksAndTabs)
{
    keyboard.type("ab\ncd\r\ne\tf");
    EXPECT_EQ(timeline(fake), (Lines{
                                  "text down 'ab'", "4ms", "text up 'ab'", "8ms",
                                  "key 36 down f=0", "8ms", "key 36 up f=0", "8ms",
                                  "text down 'cd'", "4ms", "text up 'cd'", "8ms",
                                  "key 36 down f=0", "8ms", "key 36 up f=0", "8ms",
                                  "text down 'e'", "4ms", "text up 'e'", "8ms",
                                  "key 48 down f=0", "8ms", "key 48 up f=0", "8ms",
                                  "text down 'f'", "4ms", "text up 'f'", "8ms",
                              }));
}

TEST_F(KeyboardTest, ChunksHoldSixteenUnitsAndNeverSplitACharacter)
{
    struct Case {
        const char* name;
        std::string text;
        Lines chunks;
    };
    const std::string letters40 = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
    const std::string fifteen = "abcdefghijklmno";
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // 8 units
    const Case cases[] = {
        {"40 ascii", letters40, {letters40.substr(0, 16), letters40.substr(16, 16), letters40.substr(32)}},
        {"emoji after 15 starts a chunk", fifteen + "\xF0\x9F\x98\x80", {fifteen, "\xF0\x9F\x98\x80"}},
        {"emoji after 14 fits", fifteen.substr(1) + "\xF0\x9F\x98\x80", {fifteen.substr(1) + "\xF0\x9F\x98\x80"}},
        {"zwj sequence stays whole", "abcdefghij" + family, {"abcdefghij", family}},
        {"clusters fill a chunk up to 16", "a" + family + family + family + "b",
         {"a" + family, family + family, "b"}},
        {"lone cr is text", "a\rb", {"a\rb"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake.inputEvents.clear();
        keyboard.type(c.text);
        Lines chunks;
        for (const auto& event : fake.inputEvents.events()) {
            ASSERT_EQ(event.kind, FakeInputEvents::Kind::text);
            EXPECT_FALSE(event.flags.has_value());
            EXPECT_LE(event.text.size(), 16u);
            if (event.direction == KeyDirection::down)
                chunks.push_back(utf8(event.text));
        }
        EXPECT_EQ(chunks, c.chunks);
    }
}

TEST_F(KeyboardTest, ACharacterLongerThanAChunkGoesAlone)
{
    std::string longCluster = "e";
    for (int i = 0; i < 20; ++i)
        longCluster += "\xCC\x81";
    keyboard.type("ab" + longCluster + "c");
    Lines chunks;
    for (const auto& event : fake.inputEvents.events())
        if (event.direction == KeyDirection::down)
            chunks.push_back(utf8(event.text));
    EXPECT_EQ(chunks, (Lines{"ab", longCluster, "c"}));
}

TEST_F(KeyboardTest, HeldCommandShapesTapsButNotText)
{
    keyboard.press({"cmd"});
    fake.inputEvents.clear();
    keyboard.type("a\tb");
    EXPECT_EQ(eventLines(fake), (Lines{
                                    "text down 'a'", "text up 'a'",
                                    "key 48 down f=100000", "key 48 up f=100000",
                                    "text down 'b'", "text up 'b'",
                                }));
}

TEST_F(KeyboardTest, RefusedChunkStaysPendingUntilTheNextFlush)
{
    int refusals = 1;
    fake.inputEvents.setRefusal([&](const FakeInputEvents::Event& event) {
        return event.kind == FakeInputEvents::Kind::text && refusals-- > 0;
    });
    keyboard.type("ab\ncd");
    EXPECT_EQ(timeline(fake), (Lines{
                                  "key 36 down f=0", "8ms", "key 36 up f=0", "8ms",
                                  "text down 'abcd'", "4ms", "text up 'abcd'", "8ms",
                              }));
    fake.inputEvents.clear();
    refusals = 5;
    keyboard.type("xyz");
    EXPECT_TRUE(fake.inputEvents.events().empty());
}

} // namespace
