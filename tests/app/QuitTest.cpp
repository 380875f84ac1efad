#include "app/Program.hpp"
#include "audio/AudioRecorder.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

HTTPRequest post(const std::string& path, const std::string& body)
{
    return HTTPRequest{"POST", path, {{"authorization", "Bearer secret"}}, body};
}

}

TEST(Quit, ReleasesKeysAndFinishesTheRecordingBeforeItAnswersThenEndsLater)
{
    FakePlatform fake;
    fake.displays.set(1, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
    fake.screenCapture.setContent(ShareableContent{{ShareableDisplay{1, 1920, 1080}}, {}});
    int ended = 0;
    Program program(fake.platform(), "secret", "1.0", [&] { ++ended; });
    Service& service = program.service();

    ASSERT_EQ(service.handle(post("/execute", R"({"action":"press","keys":["shift"]})")).status, 200);
    ASSERT_EQ(service.handle(post("/audio/start", R"({"directory":"/rec","microphone":false})")).status, 200);
    ASSERT_TRUE(fake.systemAudio.deliver(makeFakeBuffer(AudioRecorder::format(), std::vector<float>(1600, 0.25f))));
    fake.inputEvents.clear();

    const auto answer = service.handle(post("/quit", ""));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"ok", true}}));

    const auto events = fake.inputEvents.events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
        return event.kind == FakeInputEvents::Kind::key && event.direction == KeyDirection::up;
    }));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, FakeInputEvents::Kind::relinquish); // borrowed keycodes given back

    // The recording ended with its part finished and listed before the answer.
    const auto status = service.handle(HTTPRequest{"GET", "/audio/status", {{"authorization", "Bearer secret"}}, ""});
    EXPECT_EQ(status.body["recording"], false);
    ASSERT_EQ(status.body["parts"].size(), 1u);
    EXPECT_TRUE(fake.fileSystem.file(status.body["parts"][0]["file"].get<std::string>())->finished);

    // The end comes on the main thread 0.2 s after the answer; the queue is not put to sleep.
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(fake.mainThread.delays(), (std::vector<std::chrono::steady_clock::duration>{std::chrono::milliseconds(200)}));
    const auto sleeps = fake.clock.sleeps();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), std::chrono::milliseconds(200)), 0);
    EXPECT_EQ(fake.mainThread.runPending(), 1u);
    EXPECT_EQ(ended, 1);
}

TEST(Quit, WithNothingHeldOrRecordingStillAnswersAndEnds)
{
    FakePlatform fake;
    int ended = 0;
    Program program(fake.platform(), "secret", "1.0", [&] { ++ended; });
    EXPECT_EQ(program.service().handle(post("/quit", R"({"ignored":[1,2]})")).body, (Json{{"ok", true}}));
    EXPECT_EQ(fake.mainThread.runPending(), 1u);
    EXPECT_EQ(ended, 1);
}
