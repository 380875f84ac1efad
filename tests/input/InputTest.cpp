#include "Timeline.hpp"
#include "input/ExecuteEndpoint.hpp"
#include "input/Input.hpp"
#include "base/PlatformError.hpp"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class InputTest : public ::testing::Test {
protected:
    InputTest()
    {
        fake.displays.set(7, FakeDisplays::Display{Rect{0, 0, 1440, 900}, 2880, 2880, std::nullopt}, true);
    }

    // The failure text of an action, or "" when it succeeded.
    std::string failureOf(const Json& action)
    {
        try {
            input.perform(action);
        } catch (const Input::Failure& failure) {
            return failure.message;
        }
        return "";
    }

    FakePlatform fake;
    Input input{fake.platform()};
};

TEST_F(InputTest, FailuresPostNothing)
{
    struct Case {
        Json action;
        const char* message;
    };
    const Case cases[] = {
        {{{"action", "click"}}, "click needs x and y"},
        {{{"action", "left_click"}, {"x", 1}}, "left_click needs x and y"},
        {{{"action", "hover"}, {"x", 1}, {"y", "abc"}}, "hover needs x and y"},
        {{{"action", "move"}, {"x", "inf"}, {"y", 1}}, "move needs x and y"},
        {{{"action", "double_click"}, {"x", nullptr}, {"y", 1}}, "double_click needs x and y"},
        {{{"action", "right_single"}}, "right_single needs x and y"},
        {{{"action", "middle_click"}, {"y", 1}}, "middle_click needs x and y"},
        {{{"action", "left_click_drag"}}, "left_click_drag needs x and y"},
        {{{"action", "left_click_drag"}, {"x", 1}, {"y", 2}}, "drag needs x2 and y2"},
        {{{"action", "drag"}, {"x", 1}, {"y", 2}, {"x2", 3}}, "drag needs x2 and y2"},
        {{{"action", "type"}}, "type needs text"},
        {{{"action", "type"}, {"text", ""}, {"clear", true}}, "type needs text"},
        {{{"action", "type"}, {"text", 5}}, "type needs text"},
        {{{"action", "key"}}, "key needs keys"},
        {{{"action", "hotkey"}, {"keys", "cmd"}}, "key needs keys"},
        {{{"action", "hotkey"}, {"keys", {"cmd", "nosuchkey"}}}, "unknown key 'nosuchkey'"},
        {{{"action", "hotkey"}, {"keys", {"cmd", nullptr}}}, "unknown key 'null'"},
        // A nested value is named by a fixed text, however deep or large it is.
        {{{"action", "key"}, {"keys", {Json::array({Json::array({"a"})})}}}, "unknown key '[...]'"},
        {{{"action", "press"}, {"keys", {"shift", {{"a", {1, 2}}}}}}, "unknown key '{...}'"},
        {{{"action", "press"}, {"keys", Json::array()}}, "press needs keys"},
        {{{"action", "release"}}, "release needs keys"},
        {{{"action", "release"}, {"keys", {"F16"}}}, "unknown key 'F16'"},
        {{{"action", "Click"}, {"x", 1}, {"y", 1}}, "unknown action 'Click'"},
        {{{"action", 5}}, "unknown action ''"},
        {Json::object(), "unknown action ''"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action.dump());
        EXPECT_EQ(failureOf(c.action), c.message);
    }
    EXPECT_TRUE(fake.inputEvents.events().empty());
    EXPECT_TRUE(fake.clock.sleeps().empty());
    EXPECT_EQ(input.keyboard().heldFlags(), 0u);
}

TEST_F(InputTest, PointsAreReadLenientlyAndClampedToTheMainDisplay)
{
    struct Case {
        Json x;
        Json y;
        InputPoint expected;
    };
    const Case cases[] = {
        {100, "200", {100, 200}},
        {-50, 10, {0, 10}},
        {5000, 5000, {1439, 899}},
        {"12.5", true, {12.5, 1}},
        {1439.5, -0.0, {1439, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x.dump() + " " + c.y.dump());
        fake.inputEvents.clear();
        EXPECT_EQ(failureOf({{"action", "click"}, {"x", c.x}, {"y", c.y}}), "");
        const auto events = fake.inputEvents.events();
        ASSERT_EQ(events.size(), 3u);
        for (const auto& event : events)
            EXPECT_EQ(event.position, c.expected);
    }
}

TEST_F(InputTest, ClampingFollowsAMainDisplayAwayFromTheOrigin)
{
    fake.displays.set(7, FakeDisplays::Display{Rect{-100, 50, 200, 100}, 200, 200, std::nullopt}, true);
    input.perform({{"action", "move"}, {"x", -500}, {"y", 500}});
    EXPECT_EQ(fake.inputEvents.events().at(0).position, (InputPoint{-100, 149}));
}

TEST_F(InputTest, MouseActions)
{
    struct Case {
        Json action;
        Lines events;
    };
    const Case cases[] = {
        {{{"action", "hover"}, {"x", 3}, {"y", 4}}, {"mouse 5 (3,4) b0 n0 f=-"}},
        {{{"action", "left_double"}, {"x", 3}, {"y", 4}},
         {"mouse 5 (3,4) b0 n0 f=-", "mouse 1 (3,4) b0 n1 f=-", "mouse 2 (3,4) b0 n1 f=-", "mouse 1 (3,4) b0 n2 f=-",
          "mouse 2 (3,4) b0 n2 f=-"}},
        {{{"action", "right_click"}, {"x", 3}, {"y", 4}},
         {"mouse 5 (3,4) b0 n0 f=-", "mouse 3 (3,4) b1 n1 f=-", "mouse 4 (3,4) b1 n1 f=-"}},
        {{{"action", "middle_click"}, {"x", 3}, {"y", 4}},
         {"mouse 5 (3,4) b0 n0 f=-", "mouse 25 (3,4) b2 n1 f=-", "mouse 26 (3,4) b2 n1 f=-"}},
        {{{"action", "scroll"}}, {"scroll -120 first f=-", "scroll -120 continued f=-", "scroll -60 continued f=-"}},
        {{{"action", "scroll"}, {"dy", -50}, {"x", 3}, {"y", 4}}, {"mouse 5 (3,4) b0 n0 f=-", "scroll 50 first f=-"}},
        {{{"action", "scroll"}, {"dy", "x"}, {"x", 3}}, {"scroll -120 first f=-", "scroll -120 continued f=-",
                                                          "scroll -60 continued f=-"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action.dump());
        fake.inputEvents.clear();
        input.perform(c.action);
        EXPECT_EQ(eventLines(fake), c.events);
    }
}

TEST_F(InputTest, DragUsesBothPoints)
{
    input.perform({{"action", "drag"}, {"x", 10}, {"y", 10}, {"x2", 9999}, {"y2", "22"}});
    const auto events = fake.inputEvents.events();
    ASSERT_EQ(events.size(), 15u);
    EXPECT_EQ(events.back().mouseType, MouseEventType::leftMouseUp);
    EXPECT_EQ(events.back().position, (InputPoint{1439, 22}));
}

TEST_F(InputTest, TypeWithClearAndSubmit)
{
    input.perform({{"action", "type"}, {"text", "hi"}, {"clear", true}, {"submit", 1}});
    EXPECT_EQ(timeline(fake), (Lines{
                                  "key 55 down f=100000", "8ms",
                                  "key 0 down f=100000", "8ms",
                                  "key 0 up f=100000", "8ms",
                                  "key 55 up f=0", "8ms",
                                  "50ms",
                                  "text down 'hi'", "4ms", "text up 'hi'", "8ms",
                                  "key 36 down f=0", "8ms", "key 36 up f=0", "8ms",
                              }));
    // Only true or 1 count as true.
    for (const Json& value : {Json("true"), Json(2), Json(0), Json(nullptr), Json(false)}) {
        fake.inputEvents.clear();
        input.perform({{"action", "type"}, {"text", "x"}, {"clear", value}, {"submit", value}});
        EXPECT_EQ(eventLines(fake), (Lines{"text down 'x'", "text up 'x'"})) << value.dump();
    }
}

TEST_F(InputTest, TextWithACharacterTheDesktopCannotTypeFailsBeforeAnything)
{
    fake.inputEvents.setUntypable(U"\u6F22\U0001F600");
    const auto execute = executeEndpoint(input, [] { return true; });
    for (const char* text : {"ab\u6F22cd", "\u6F22", "x\ny \U0001F600"}) {
        SCOPED_TRACE(text);
        const auto answer = execute({{"action", "type"}, {"text", text}, {"clear", true}, {"submit", true}});
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body["error"], "bad_action");
    }
    EXPECT_EQ(failureOf({{"action", "type"}, {"text", "ok \U0001F600"}}),
              "cannot type U+1F600: the keyboard has no key for it and none to spare");
    // Not even the select-all of `clear` went out.
    EXPECT_TRUE(fake.inputEvents.events().empty());
    EXPECT_TRUE(fake.clock.sleeps().empty());

    input.perform({{"action", "type"}, {"text", "\u6F21"}});
    EXPECT_EQ(eventLines(fake), (Lines{"text down '\u6F21'", "text up '\u6F21'"}));
}

TEST_F(InputTest, KeyNamesFromArrayElements)
{
    input.perform({{"action", "hotkey"}, {"keys", {"cmd", "shift", 4}}});
    EXPECT_EQ(eventLines(fake), (Lines{"key 55 down f=120000", "key 56 down f=120000", "key 21 down f=120000",
                                       "key 21 up f=120000", "key 56 up f=0", "key 55 up f=0"}));
    fake.inputEvents.clear();
    input.perform({{"action", "key"}, {"keys", {true, false, 5.0}}});
    EXPECT_EQ(eventLines(fake), (Lines{"key 18 down f=0", "key 18 up f=0", "key 29 down f=0", "key 29 up f=0",
                                       "key 23 down f=0", "key 23 up f=0"}));
}

TEST_F(InputTest, PressShapesLaterActionsUntilReleased)
{
    input.perform({{"action", "press"}, {"keys", {"shift"}}});
    input.perform({{"action", "click"}, {"x", 1}, {"y", 1}});
    input.perform({{"action", "release"}, {"keys", {"shift"}}});
    input.perform({{"action", "click"}, {"x", 1}, {"y", 1}});
    const auto events = fake.inputEvents.events();
    ASSERT_EQ(events.size(), 1u + 3u + 1u + 3u);
    EXPECT_EQ(events[1].flags, std::optional<EventFlags>(0x20000));
    EXPECT_EQ(events[3].flags, std::optional<EventFlags>(0x20000));
    EXPECT_EQ(describe(events[4]), "key 56 up f=0");
    EXPECT_EQ(events[6].flags, std::nullopt);
}

TEST_F(InputTest, ReleaseAllAlsoGivesBackBorrowedResources)
{
    input.perform({{"action", "press"}, {"keys", {"alt", "x"}}});
    fake.inputEvents.clear();
    input.releaseAll();
    EXPECT_EQ(eventLines(fake), (Lines{"key 7 up f=0", "key 58 up f=0", "relinquish"}));
}

TEST_F(InputTest, WaitDurations)
{
    struct Case {
        Json seconds;
        int milliseconds;
    };
    const Case cases[] = {
        {nullptr, 1000}, {0.05, 200}, {30, 10000}, {"abc", 1000}, {-4, 200}, {0.2, 200},
        {0.2345, 234}, {"2.5", 2500}, {true, 1000}, {"nan", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds.dump());
        FakePlatform local;
        local.displays.set(1, FakeDisplays::Display{Rect{0, 0, 10, 10}, 10, 10, std::nullopt}, true);
        Input localInput{local.platform()};
        Json action{{"action", "wait"}, {"x", 1}, {"y", 2}};
        if (!c.seconds.is_null())
            action["seconds"] = c.seconds;
        localInput.perform(action);
        EXPECT_EQ(timeline(local), (Lines{std::to_string(c.milliseconds) + "ms"}));
    }
}

TEST_F(InputTest, ExecuteEndpointAnswers)
{
    bool granted = false;
    const auto execute = executeEndpoint(input, [&] { return granted; });

    auto answer = execute({{"action", "nonsense"}});
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(answer.body, (Json{{"error", "accessibility_denied"},
                                 {"message", "Accessibility is off for Velmar Computer Use"}}));

    granted = true;
    answer = execute({{"action", "click"}, {"x", 1}, {"y", 2}});
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"ok", true}, {"note", ""}}));

    answer = execute({{"action", "nonsense"}});
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.body, (Json{{"error", "bad_action"}, {"message", "unknown action 'nonsense'"}}));

    fake.inputEvents.setRefusal([](const FakeInputEvents::Event&) -> bool {
        throw PlatformError("X11", 2, "the display went away");
    });
    answer = execute({{"action", "hover"}, {"x", 1}, {"y", 2}});
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body, (Json{{"error", "action_failed"}, {"message", "the display went away"}}));
}

} // namespace
