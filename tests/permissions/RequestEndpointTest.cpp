#include "app/Program.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

using Call = FakePrivacy::Call;

namespace {

struct RequestEndpoint : ::testing::Test {
    FakePlatform fake;
    Program program{fake.platform(), "secret", "2.0", [] {}};
    Service& service = program.service();

    HTTPResponse post(const std::string& body)
    {
        return service.handle(HTTPRequest{"POST", "/request", {{"authorization", "Bearer secret"}}, body});
    }
    std::size_t probes() const { return fake.screenCapture.contentCalls().size(); }
};

} // namespace

TEST_F(RequestEndpoint, UnknownWhatIsRefusedAndNothingHappens)
{
    for (const char* body : {R"({"what":"Screen"})", R"({"what":"mic"})", R"({"what":5})", R"({})", "",
                             R"({"what":["screen"]})", R"({"what":null,"pane":true})"}) {
        const auto answer = post(body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(answer.body, (Json{{"error", "bad_request"},
                                     {"message", "`what` must be \"screen\", \"accessibility\" or \"microphone\""}}));
    }
    EXPECT_TRUE(fake.privacy.calls().empty());
    EXPECT_EQ(fake.mainThread.pending(), 0u);
    EXPECT_EQ(probes(), 0u);
}

TEST_F(RequestEndpoint, MicrophoneIgnoresThePane)
{
    fake.privacy.microphoneStatus = 0;
    const auto answer = post(R"({"what":"microphone","pane":true})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["microphone"], "unknown"); // the prompt is not waited for
    EXPECT_EQ(fake.mainThread.runPending(), 1u);
    EXPECT_EQ(fake.privacy.calls(), (std::vector<Call>{{"activateApplication", true}, {"requestMicrophoneAccess", true}}));
}

TEST_F(RequestEndpoint, AccessibilityWithAndWithoutThePane)
{
    struct Case {
        const char* body;
        bool opens;
    };
    const Case cases[] = {
        {R"({"what":"accessibility","pane":true})", true},
        {R"({"what":"accessibility","pane":1})", true},
        {R"({"what":"accessibility","pane":"true"})", false},
        {R"({"what":"accessibility","pane":false})", false},
        {R"({"what":"accessibility","pane":2})", false},
        {R"({"what":"accessibility"})", false},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        Program program(fake.platform(), "secret", "2.0", [] {});
        const auto answer = program.service().handle(HTTPRequest{"POST", "/request", {{"authorization", "Bearer secret"}}, c.body});
        EXPECT_EQ(answer.status, 200) << c.body;
        EXPECT_EQ(fake.mainThread.syncCount(), 1u);
        fake.mainThread.runPending();
        std::vector<Call> expected{{"promptForAccessibility", true}};
        if (c.opens)
            expected.push_back({"openSettings accessibility", true});
        EXPECT_EQ(fake.privacy.calls(), expected) << c.body;
    }
}

TEST_F(RequestEndpoint, ScreenPromptsThenReportsAFreshProbe)
{
    EXPECT_EQ(service.handle(HTTPRequest{"GET", "/status", {{"authorization", "Bearer secret"}}, ""}).body["screen"], "granted");
    EXPECT_EQ(probes(), 1u);

    fake.screenCapture.setContentScript({FakeScreenCaptureFramework::Delivery::error,
                                         PlatformError("SCStreamErrorDomain", -3801, "Declined.")});
    const auto answer = post(R"({"what":"screen"})");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(probes(), 2u); // within 3 seconds of the first, yet probed again
    EXPECT_EQ(answer.body["screen"], "denied");
    EXPECT_EQ(answer.body["screen_detail"], "ScreenCaptureKit userDeclined (-3801): Declined.");
    EXPECT_EQ(answer.body["version"], "2.0");
    EXPECT_EQ(fake.mainThread.runPending(), 0u);
    EXPECT_EQ(fake.privacy.calls(), (std::vector<Call>{{"activateApplication", true}, {"requestScreenCaptureAccess", true}}));
}
