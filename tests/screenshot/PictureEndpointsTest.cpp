#include "screenshot/PictureEndpoints.hpp"

#include "permissions/Permissions.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

namespace {

using Operation = FakeImaging::Operation;

const std::string deniedMessage = "Screen Recording is off for Velmar Computer Use";

Image filled(int width, int height, std::uint8_t value)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4;
    image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), value);
    return image;
}

// A 1920 x 1080 main display at one pixel a point, lit, with two windows.
class PictureEndpointsTest : public testing::Test {
protected:
    PictureEndpointsTest()
    {
        fake.displays.set(1, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
        ShareableWindow editor;
        editor.windowID = 12;
        editor.frame = Rect{100.7, 50.2, 640.9, 480.5};
        editor.title = "Editor";
        editor.owningApplication = OwningApplication{4242, "editor", "org.example.editor"};
        ShareableWindow other;
        other.windowID = 1;
        other.frame = Rect{0, 0, 300, 200};
        fake.screenCapture.setContent({{ShareableDisplay{1, 1920, 1080}}, {editor, other}});
        fake.screenCapture.setImage(filled(1920, 1080, 200));
    }

    HTTPResponse screenshot(const Json& body) { return PictureEndpoints::screenshot(platform, permissions, body); }
    HTTPResponse window(const Json& body) { return PictureEndpoints::window(platform, permissions, body); }

    FakeImaging::Call last(Operation operation)
    {
        const auto calls = fake.imaging.calls();
        for (auto call = calls.rbegin(); call != calls.rend(); ++call)
            if (call->operation == operation)
                return *call;
        ADD_FAILURE() << "no such imaging call";
        return {};
    }

    FakePlatform fake;
    Platform& platform = fake.platform();
    Permissions permissions{platform};
};

}

TEST_F(PictureEndpointsTest, ScreenshotDefaultsToABudgetedJpeg)
{
    const auto answer = screenshot(Json::object());
    ASSERT_EQ(answer.status, 200) << answer.body.dump();
    EXPECT_EQ(answer.body["mime"], "image/jpeg");
    EXPECT_EQ(answer.body["width"], 1885);
    EXPECT_EQ(answer.body["height"], 1060);
    EXPECT_EQ(answer.body["screen"], (Json{{"width", 1920}, {"height", 1080}}));
    EXPECT_EQ(answer.body["scale"], 1.0);
    EXPECT_EQ(answer.body["capture"], "ScreenCaptureKit");
    EXPECT_EQ(last(Operation::encodeJPEG).quality, 0.8);
    EXPECT_FALSE(answer.body["base64"].get_binary().empty());
}

TEST_F(PictureEndpointsTest, ScreenshotParametersAreClampedNeverRefused)
{
    const struct {
        Json body;
        double quality;
        int width, height;
    } cases[] = {
        {{{"quality", 50}}, 0.5, 1885, 1060},
        {{{"quality", 10}}, 0.3, 1885, 1060},
        {{{"quality", 250}}, 1.0, 1885, 1060},
        {{{"quality", "75"}}, 0.75, 1885, 1060},
        {{{"quality", "nan"}}, 0.3, 1885, 1060},
        {{{"quality", "high"}}, 0.8, 1885, 1060},
        {{{"max_pixels", 5}}, 0.8, 133, 75},
        {{{"max_pixels", "lots"}}, 0.8, 1885, 1060},
        {{{"max_pixels", 1e9}}, 0.8, 1920, 1080},
        {{{"width", -5}, {"height", 300}}, 0.8, 1885, 1060},
        {{{"width", 640}, {"height", "480"}}, 0.8, 640, 480},
        {{{"width", 30000}, {"height", 1}}, 0.8, 20000, 1},
    };
    for (const auto& c : cases) {
        const auto answer = screenshot(c.body);
        ASSERT_EQ(answer.status, 200) << c.body.dump();
        EXPECT_EQ(answer.body["width"], c.width) << c.body.dump();
        EXPECT_EQ(answer.body["height"], c.height) << c.body.dump();
        EXPECT_DOUBLE_EQ(last(Operation::encodeJPEG).quality, c.quality) << c.body.dump();
    }
    EXPECT_EQ(screenshot({{"format", "png"}}).body["mime"], "image/png");
    EXPECT_EQ(screenshot({{"format", "PNG"}}).body["mime"], "image/jpeg");
}

TEST_F(PictureEndpointsTest, BlackScreenIsARefusal)
{
    fake.screenCapture.setImage(filled(1920, 1080, 7));
    const auto answer = screenshot(Json::object());
    EXPECT_EQ(answer.status, 403);
    EXPECT_EQ(answer.body, (Json{{"error", "screen_denied"},
                                 {"message", "the picture is black \u2014 " + deniedMessage}}));
}

TEST_F(PictureEndpointsTest, DeniedStateAnswersBeforeAnyCapture)
{
    fake.privacy.screenCaptureAllowed = false;
    const Json denied = {{"error", "screen_denied"}, {"message", deniedMessage}};
    EXPECT_EQ(screenshot(Json::object()).body, denied);
    EXPECT_EQ(window({{"id", 12}}).body, denied);
    EXPECT_EQ(PictureEndpoints::windows(platform, permissions).body, denied);
    EXPECT_EQ(window(Json::object()).status, 400); // a missing id is refused first
    EXPECT_TRUE(fake.screenCapture.captureCalls().empty());
}

TEST_F(PictureEndpointsTest, ScreenOutOfReachRefusesTheScreenshotButKeepsTheWindows)
{
    fake.privacy.setScreenCaptureLimit("X windows only");
    EXPECT_EQ(screenshot(Json::object()).body,
              (Json{{"error", "screen_denied"}, {"message", deniedMessage + " (X windows only)"}}));
    EXPECT_TRUE(fake.screenCapture.captureCalls().empty());

    const auto list = PictureEndpoints::windows(platform, permissions);
    ASSERT_EQ(list.status, 200) << list.body.dump();
    EXPECT_EQ(list.body["windows"].size(), 2u);
    EXPECT_EQ(window({{"id", 12}}).status, 200);

    // Where the preflight fails as well, nothing is within reach.
    fake.privacy.screenCaptureAllowed = false;
    EXPECT_EQ(PictureEndpoints::windows(platform, permissions).body,
              (Json{{"error", "screen_denied"}, {"message", deniedMessage}}));
}

TEST_F(PictureEndpointsTest, RefusalDuringCaptureAnswers403AndForgetsTheProbe)
{
    ASSERT_EQ(permissions.screenState(), Permissions::ScreenState::granted);
    const auto probesBefore = fake.screenCapture.contentCalls().size();
    fake.screenCapture.setCaptureScript({FakeScreenCaptureFramework::Delivery::error,
                                         PlatformError(screenCaptureErrorDomain, -3801, "The user declined")});
    const auto answer = screenshot(Json::object());
    EXPECT_EQ(answer.status, 403);
    const std::string message = answer.body["message"];
    EXPECT_EQ(message.rfind(deniedMessage + " (ScreenCaptureKit ", 0), 0u) << message;
    EXPECT_EQ(message.back(), ')');

    const auto probesAfterCapture = fake.screenCapture.contentCalls().size();
    permissions.screenState(); // the cache was dropped: this probes again
    EXPECT_GT(fake.screenCapture.contentCalls().size(), probesAfterCapture);
    EXPECT_GT(probesAfterCapture, probesBefore);
}

TEST_F(PictureEndpointsTest, OtherCaptureErrorsAnswer500WithTheirDescription)
{
    fake.screenCapture.setCaptureScript({FakeScreenCaptureFramework::Delivery::never, {screenCaptureErrorDomain, 0, ""}});
    const auto answer = screenshot(Json::object());
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body, (Json{{"error", "screenshot_failed"},
                                 {"message", "no screenshot: ScreenCaptureKit did not deliver the picture within 10 s"}}));

    fake.screenCapture.setCaptureScript({});
    fake.imaging.fail(Operation::encodeJPEG);
    EXPECT_EQ(screenshot(Json::object()).body["error"], "screenshot_failed");
}

TEST_F(PictureEndpointsTest, WindowIdDecoding)
{
    const struct {
        Json body;
        int status;
        std::string error;
    } cases[] = {
        {Json::object(), 400, "bad_request"},
        {{{"id", "twelve"}}, 400, "bad_request"},
        {{{"id", nullptr}}, 400, "bad_request"},
        {{{"id", 0}}, 200, ""},    // clamped to window 1
        {{{"id", -3}}, 200, ""},   // likewise
        {{{"id", "12"}}, 200, ""},
        {{{"id", 99}}, 404, "no_window"},
        {{{"id", 1e12}}, 404, "no_window"}, // clamped to 4294967295
    };
    for (const auto& c : cases) {
        const auto answer = window(c.body);
        EXPECT_EQ(answer.status, c.status) << c.body.dump();
        if (!c.error.empty()) {
            EXPECT_EQ(answer.body["error"], c.error) << c.body.dump();
        }
    }
    EXPECT_EQ(window({{"id", 99}}).body["message"], "no window with id 99 is on screen");
    EXPECT_EQ(window({{"id", 1e12}}).body["message"], "no window with id 4294967295 is on screen");
    EXPECT_EQ(window(Json::object()).body["message"], "`id` must be a window id from /windows");
}

TEST_F(PictureEndpointsTest, WindowDefaultsToAFullSizePngAndGivesItsFrame)
{
    const auto answer = window({{"id", 12}});
    ASSERT_EQ(answer.status, 200) << answer.body.dump();
    EXPECT_EQ(answer.body["mime"], "image/png");
    EXPECT_EQ(fake.imaging.count(Operation::resize), 0u);
    EXPECT_EQ(answer.body["window"], (Json{{"id", 12}, {"x", 100}, {"y", 50}, {"width", 640}, {"height", 480}}));
    for (const char* format : {"png", "PNG", "JPEG", "jpg"})
        EXPECT_EQ(window({{"id", 12}, {"format", format}}).body["mime"], "image/png") << format;
    EXPECT_EQ(window({{"id", 12}, {"format", "jpeg"}, {"quality", 40}}).body["mime"], "image/jpeg");
    EXPECT_DOUBLE_EQ(last(Operation::encodeJPEG).quality, 0.4);
}

TEST_F(PictureEndpointsTest, WindowsListsEveryEntryInOrder)
{
    const auto answer = PictureEndpoints::windows(platform, permissions);
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["capture"], "ScreenCaptureKit");
    ASSERT_EQ(answer.body["windows"].size(), 2u);
    EXPECT_EQ(answer.body["windows"][0]["id"], 12);
    EXPECT_EQ(answer.body["windows"][0]["title"], "Editor");
    EXPECT_EQ(answer.body["windows"][1]["id"], 1);

    fake.screenCapture.setContentScript({FakeScreenCaptureFramework::Delivery::neither, {screenCaptureErrorDomain, 0, ""}});
    permissions.forgetProbe();
    EXPECT_EQ(PictureEndpoints::windows(platform, permissions).body["error"], "screenshot_failed");
}
