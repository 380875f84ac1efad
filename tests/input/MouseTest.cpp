#include "Timeline.hpp"
#include "input/Keyboard.hpp"
#include "input/Mouse.hpp"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class MouseTest : public ::testing::Test {
protected:
    FakePlatform fake;
    Keyboard keyboard{fake.inputEvents, fake.clock.clock()};
    Mouse mouse{fake.inputEvents, fake.clock.clock(), keyboard};
};

TEST_F(MouseTest, MoveThenPause)
{
    mouse.move({10.5, 20});
    EXPECT_EQ(timeline(fake), (Lines{"mouse 5 (10.5,20) b0 n0 f=-", "30ms"}));
}

TEST_F(MouseTest, ThePauseAfterAnEventCountsFromItsPosting)
{
    // The platform's confirmation of an event falls within the pause that follows it; one
    // that takes longer than the pause leaves nothing to wait.
    fake.inputEvents.setPostDuration(std::chrono::milliseconds(3));
    mouse.click({1, 2}, Mouse::Button::left, 1);
    EXPECT_EQ(timeline(fake), (Lines{"mouse 5 (1,2) b0 n0 f=-", "27ms", "100ms", "mouse 1 (1,2) b0 n1 f=-", "37ms",
                                     "mouse 2 (1,2) b0 n1 f=-", "37ms"}));

    fake.inputEvents.clear();
    fake.inputEvents.setPostDuration(std::chrono::milliseconds(50));
    const auto sleepsBefore = fake.clock.sleeps().size();
    keyboard.tap(0, 0);
    EXPECT_EQ(fake.clock.sleeps().size(), sleepsBefore);
    EXPECT_EQ(fake.inputEvents.events().size(), 2u);
}

TEST_F(MouseTest, ClickCountsAndButtons)
{
    struct Case {
        Mouse::Button button;
        std::int64_t count;
        Lines expected;
    };
    const Case cases[] = {
        {Mouse::Button::left, 1,
         {"mouse 5 (1,2) b0 n0 f=-", "30ms", "100ms", "mouse 1 (1,2) b0 n1 f=-", "40ms", "mouse 2 (1,2) b0 n1 f=-",
          "40ms"}},
        {Mouse::Button::left, 0,
         {"mouse 5 (1,2) b0 n0 f=-", "30ms", "100ms", "mouse 1 (1,2) b0 n1 f=-", "40ms", "mouse 2 (1,2) b0 n1 f=-",
          "40ms"}},
        {Mouse::Button::right, -3,
         {"mouse 5 (1,2) b0 n0 f=-", "30ms", "100ms", "mouse 3 (1,2) b1 n1 f=-", "40ms", "mouse 4 (1,2) b1 n1 f=-",
          "40ms"}},
        {Mouse::Button::middle, 1,
         {"mouse 5 (1,2) b0 n0 f=-", "30ms", "100ms", "mouse 25 (1,2) b2 n1 f=-", "40ms",
          "mouse 26 (1,2) b2 n1 f=-", "40ms"}},
        {Mouse::Button::left, 3,
         {"mouse 5 (1,2) b0 n0 f=-", "30ms", "100ms",
          "mouse 1 (1,2) b0 n1 f=-", "40ms", "mouse 2 (1,2) b0 n1 f=-", "80ms",
          "mouse 1 (1,2) b0 n2 f=-", "40ms", "mouse 2 (1,2) b0 n2 f=-", "80ms",
          "mouse 1 (1,2) b0 n3 f=-", "40ms", "mouse 2 (1,2) b0 n3 f=-", "40ms"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        FakePlatform local;
        Keyboard localKeyboard{local.inputEvents, local.clock.clock()};
        Mouse localMouse{local.inputEvents, local.clock.clock(), localKeyboard};
        localMouse.click({1, 2}, c.button, c.count);
        EXPECT_EQ(timeline(local), c.expected);
    }
}

TEST_F(MouseTest, HeldModifiersBecomeMouseFlags)
{
    keyboard.press({"shift", "cmd"});
    fake.inputEvents.clear();
    mouse.click({5, 6}, Mouse::Button::left, 1);
    mouse.scroll(10);
    for (const auto& event : fake.inputEvents.events())
        EXPECT_EQ(event.flags, std::optional<EventFlags>(0x120000)) << describe(event);
}

TEST_F(MouseTest, DragInTwelveStepsEndingExactlyOnTarget)
{
    mouse.drag({0.1, 0.2}, {0.7, 100.3});
    const auto lines = timeline(fake);
    ASSERT_EQ(lines.size(), 5u + 12u * 2u + 2u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
              (Lines{"mouse 5 (0.1,0.2) b0 n0 f=-", "30ms", "100ms", "mouse 1 (0.1,0.2) b0 n1 f=-", "60ms"}));
    const auto events = fake.inputEvents.events();
    for (int i = 1; i <= 12; ++i) {
        const auto& step = events[static_cast<std::size_t>(i + 1)];
        EXPECT_EQ(step.mouseType, MouseEventType::leftMouseDragged);
        EXPECT_EQ(step.clickState, 1);
        EXPECT_NEAR(step.position.x, 0.1 + 0.6 * i / 12, 1e-9);
        EXPECT_NEAR(step.position.y, 0.2 + 100.1 * i / 12, 1e-9);
        EXPECT_EQ(lines[static_cast<std::size_t>(4 + 2 * i)], "15ms");
    }
    EXPECT_EQ(events[13].position, (InputPoint{0.7, 100.3}));
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"mouse 2 (0.7,100.3) b0 n1 f=-", "40ms"}));
}

TEST_F(MouseTest, ScrollSteps)
{
    struct Case {
        double dy;
        std::vector<std::int32_t> deltas;
    };
    const Case cases[] = {
        {250, {-120, -120, -10}},
        {-50, {50}},
        {0.9, {}},
        {-0.9, {}},
        {300, {-120, -120, -60}},
        {-1e9, std::vector<std::int32_t>(25, 120)},
        {NAN, std::vector<std::int32_t>(25, 120)},
        {INFINITY, std::vector<std::int32_t>(25, -120)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dy);
        FakePlatform local;
        Keyboard localKeyboard{local.inputEvents, local.clock.clock()};
        Mouse localMouse{local.inputEvents, local.clock.clock(), localKeyboard};
        localMouse.scroll(c.dy);
        std::vector<std::int32_t> deltas;
        const auto events = local.inputEvents.events();
        for (std::size_t i = 0; i < events.size(); ++i) {
            deltas.push_back(events[i].verticalPixels);
            EXPECT_EQ(events[i].scrollPart, i == 0 ? ScrollPart::first : ScrollPart::continued);
            EXPECT_EQ(events[i].horizontalPixels, 0);
        }
        EXPECT_EQ(deltas, c.deltas);
        EXPECT_EQ(local.clock.sleeps().size(), c.deltas.size()); // 10 ms after each
    }
}

TEST_F(MouseTest, ScrollStopsAtTheFirstRefusedWheelEvent)
{
    int allowed = 1;
    fake.inputEvents.setRefusal([&](const FakeInputEvents::Event&) { return allowed-- <= 0; });
    mouse.scroll(1000);
    EXPECT_EQ(timeline(fake), (Lines{"scroll -120 first f=-", "10ms"}));
}

} // namespace
