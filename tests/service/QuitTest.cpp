#include "service/Quit.hpp"

#include "input/Input.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

TEST(Quit, ReleasesHeldKeysAnswersAndEndsLaterOnTheMainThread)
{
    FakePlatform fake;
    fake.displays.set(1, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
    Input input(fake.platform());
    input.perform({{"action", "press"}, {"keys", {"shift"}}});
    fake.inputEvents.clear();

    int ended = 0;
    const auto answer = quit(fake.platform(), input, [&] { ++ended; });
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"ok", true}}));

    const auto events = fake.inputEvents.events();
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
        return event.kind == FakeInputEvents::Kind::key && event.direction == KeyDirection::up;
    }));
    EXPECT_EQ(events.back().kind, FakeInputEvents::Kind::relinquish); // borrowed keycodes given back

    // The answer goes out first; the end comes on the main thread after a 0.2 s pause.
    EXPECT_EQ(ended, 0);
    const auto sleepsBefore = fake.clock.sleeps().size();
    EXPECT_EQ(fake.mainThread.runPending(), 1u);
    EXPECT_EQ(ended, 1);
    const auto sleeps = fake.clock.sleeps();
    ASSERT_EQ(sleeps.size(), sleepsBefore + 1);
    EXPECT_EQ(sleeps.back(), std::chrono::milliseconds(200));
}
