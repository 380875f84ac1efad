#include "permissions/Permissions.hpp"
#include "platform/fake/FakePlatform.hpp"
#include "app/Status.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

struct Status : ::testing::Test {
    FakePlatform fake;
    Permissions permissions{fake.platform()};

    Json report(const std::string& version = "1.4.0") { return statusReport(fake.platform(), permissions, version); }
};

} // namespace

TEST_F(Status, MainDisplayGeometry)
{
    struct Case {
        Rect bounds;
        std::optional<std::int64_t> modeWidth;
        std::int64_t pixelsWide;
        Json display;
    };
    const Case cases[] = {
        {{0, 0, 1512, 982}, 3024, 1512, {{"width", 1512}, {"height", 982}, {"scale", 2.0}}},
        {{0, 0, 1512.9, 982.5}, 1512, 0, {{"width", 1512}, {"height", 982}, {"scale", 1512 / 1512.9}}},
        {{0, 0, 1920, 1080}, std::nullopt, 3840, {{"width", 1920}, {"height", 1080}, {"scale", 2.0}}},
        {{0, 0, 0, 0}, 3024, 3024, {{"width", 0}, {"height", 0}, {"scale", 1.0}}},
        {{0, 0, -1.5, -2.5}, 3024, 3024, {{"width", -1}, {"height", -2}, {"scale", 1.0}}},
    };
    for (const auto& c : cases) {
        fake.displays.set(4, {c.bounds, c.modeWidth, c.pixelsWide, std::nullopt}, true);
        EXPECT_EQ(report()["display"], c.display) << c.display.dump();
    }
    EXPECT_TRUE(report()["display"]["scale"].is_number_float());
}

TEST_F(Status, MembersAndTheirSources)
{
    fake.privacy.trusted = false;
    fake.privacy.microphoneStatus = 2;
    const auto answer = report();
    EXPECT_EQ(answer.size(), 8u);
    EXPECT_EQ(answer["screen"], "granted");
    EXPECT_EQ(answer["screen_detail"], "");
    EXPECT_EQ(answer["capture"], "ScreenCaptureKit");
    EXPECT_EQ(answer["accessibility"], false);
    EXPECT_EQ(answer["microphone"], "denied");
    EXPECT_EQ(answer["pid"], static_cast<std::int64_t>(::getpid()));
    EXPECT_EQ(answer["version"], "1.4.0");
    EXPECT_EQ(report("")["version"], "0");

    fake.systemVersion.set(13, 0, 0);
    EXPECT_EQ(report()["capture"], "CoreGraphics");
}

TEST_F(Status, ScreenMembersDescribeOneProbe)
{
    fake.screenCapture.setContentScript({FakeScreenCaptureFramework::Delivery::error,
                                         PlatformError("SCStreamErrorDomain", -3802, "Could not start.")});
    const auto answer = report();
    EXPECT_EQ(answer["screen"], "unknown");
    EXPECT_EQ(answer["screen_detail"], "ScreenCaptureKit failedToStart (-3802): Could not start.");
    EXPECT_EQ(fake.screenCapture.contentCalls().size(), 1u);

    fake.privacy.screenCaptureAllowed = false;
    const auto refused = report();
    EXPECT_EQ(refused["screen"], "denied");
    EXPECT_EQ(refused["screen_detail"], "");
}
