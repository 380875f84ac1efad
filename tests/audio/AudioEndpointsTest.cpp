#include "app/Program.hpp"
#include "audio/AudioRecorder.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

namespace {

struct AudioEndpoints : ::testing::Test {
    FakePlatform fake;
    Program program{fake.platform(), "secret", "1.0", [] {}};

    void SetUp() override
    {
        fake.displays.set(1, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
        fake.screenCapture.setContent(ShareableContent{{ShareableDisplay{1, 1920, 1080}}, {}});
        fake.audio.setMicrophoneFormat(AudioRecorder::format());
    }

    HTTPResponse call(const char* method, const char* path, const std::string& body = "")
    {
        return program.service().handle(HTTPRequest{method, path, {{"authorization", "Bearer secret"}}, body});
    }
    HTTPResponse start(const std::string& body) { return call("POST", "/audio/start", body); }
    HTTPResponse stop() { return call("POST", "/audio/stop"); }
    // The part length of a recording started with the body, in frames.
    std::int64_t partFrames(const std::string& body)
    {
        EXPECT_EQ(start(body).status, 200) << body;
        const auto frames = program.recorder().partFrames();
        stop();
        return frames;
    }
};

} // namespace

TEST_F(AudioEndpoints, StatusBeforeAnyStart)
{
    const auto answer = call("GET", "/audio/status");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, (Json{{"recording", false}, {"parts", Json::array()}, {"sequence", 0}, {"level", 0.0},
                                 {"system_audio", "off"}, {"microphone", "off"}, {"error", ""}}));
    EXPECT_EQ(call("GET", "/audio/start").status, 404);
    EXPECT_EQ(call("POST", "/audio/status").status, 404);
}

TEST_F(AudioEndpoints, TheDirectoryMustBeAnAbsolutePath)
{
    for (const std::string body : {R"({"directory":"rec"})", R"({"directory":5})", R"({})", "", R"({"directory":""})",
                                   R"({"directory":null})", R"({"directory":["/rec"]})", R"({"directory":"/rec\u0000/x"})"}) {
        const auto answer = start(body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(answer.body, (Json{{"error", "bad_request"}, {"message", "`directory` must be an absolute path"}})) << body;
    }
    EXPECT_TRUE(fake.fileSystem.directories().empty());
    EXPECT_TRUE(fake.systemAudio.streamsMade().empty());
}

TEST_F(AudioEndpoints, PartSecondsAreReadLenientlyAndClamped)
{
    const std::pair<const char*, std::int64_t> cases[] = {
        {R"({"microphone":false,"directory":"/r","part_seconds":"30"})", 480000},  {R"({"microphone":false,"directory":"/r","part_seconds":2})", 160000},
        {R"({"microphone":false,"directory":"/r"})", 960000},                       {R"({"microphone":false,"directory":"/r","part_seconds":"nan"})", 4800000},
        {R"({"microphone":false,"directory":"/r","part_seconds":"inf"})", 4800000}, {R"({"microphone":false,"directory":"/r","part_seconds":"-inf"})", 160000},
        {R"({"microphone":false,"directory":"/r","part_seconds":"x"})", 960000},    {R"({"microphone":false,"directory":"/r","part_seconds":true})", 160000},
    };
    for (const auto& [body, frames] : cases)
        EXPECT_EQ(partFrames(body), frames) << body;
}

TEST_F(AudioEndpoints, TheMicrophoneIsOnUnlessSaidOff)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"directory":"/r"})", "on"},
        {R"({"directory":"/r","microphone":"no"})", "on"},
        {R"({"directory":"/r","microphone":1})", "on"},
        {R"({"directory":"/r","microphone":0})", "off"},
        {R"({"directory":"/r","microphone":false})", "off"},
        {R"({"directory":"/r","microphone":0.5})", "on"},
    };
    for (const auto& [body, state] : cases) {
        EXPECT_EQ(start(body).body["microphone"], state) << body;
        stop();
    }
}

TEST_F(AudioEndpoints, WithoutScreenRecordingOnlyAGrantedMicrophoneMayRecord)
{
    fake.privacy.screenCaptureAllowed = false;
    auto answer = start(R"({"directory":"/r","microphone":false})");
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(answer.body["error"], "screen_denied");
    EXPECT_EQ(answer.body["message"].get<std::string>().rfind("Screen Recording is off for Velmar Computer Use", 0), 0u);

    fake.privacy.microphoneStatus = Privacy::notDetermined;
    EXPECT_EQ(start(R"({"directory":"/r"})").status, 403);
    EXPECT_TRUE(fake.fileSystem.directories().empty());

    fake.privacy.microphoneStatus = Privacy::authorized;
    answer = start(R"({"directory":"/r"})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["recording"], true);
    EXPECT_EQ(answer.body["microphone"], "on");
    EXPECT_EQ(answer.body["system_audio"], "error: Screen Recording is off for Velmar Computer Use");
}

TEST_F(AudioEndpoints, SystemAudioIsRecordedWhereOnlyTheScreenIsOutOfReach)
{
    fake.privacy.setScreenCaptureLimit("X windows only");
    const auto answer = start(R"({"directory":"/r","microphone":false})");
    ASSERT_EQ(answer.status, 200) << answer.body.dump();
    EXPECT_EQ(answer.body["system_audio"], "on");
    EXPECT_EQ(fake.systemAudio.streamsMade().size(), 1u);
    stop();
}

TEST_F(AudioEndpoints, FailuresOfTheStartAre500)
{
    ASSERT_EQ(start(R"({"microphone":false,"directory":"/r"})").status, 200);
    auto answer = start(R"({"microphone":false,"directory":"/r"})");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body, (Json{{"error", "audio_failed"},
                                 {"message", "no recording: a recording is already running; stop it first"}}));
    EXPECT_EQ(call("GET", "/audio/status").body["recording"], true);
    stop();

    fake.fileSystem.setCreateError(PlatformError("POSIX", 13, "Permission denied"));
    answer = start(R"({"directory":"/root/r"})");
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body["message"], "no recording: Permission denied (POSIX error 13)");
}

TEST_F(AudioEndpoints, StopAnswersTheStatusEveryTime)
{
    ASSERT_EQ(start(R"({"microphone":false,"directory":"/r","part_seconds":10})").status, 200);
    fake.systemAudio.deliver(makeFakeBuffer(AudioRecorder::format(), std::vector<float>(1600, 0.1f)));
    const auto first = stop();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body["recording"], false);
    EXPECT_EQ(first.body["system_audio"], "off");
    EXPECT_EQ(first.body["parts"].size(), 1u);
    EXPECT_EQ(first.body["directory"], "/r");
    const auto second = stop();
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.body, first.body);
}
