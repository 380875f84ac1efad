#include "capture/ScreenCapture.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

using Delivery = FakeScreenCaptureFramework::Delivery;
using Kind = ScreenCapture::Probe::Kind;

namespace {

Image picture(int width, int height)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4;
    image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), 0);
    return image;
}

ShareableWindow window(std::uint32_t id, Rect frame, bool onScreen = true)
{
    ShareableWindow window;
    window.windowID = id;
    window.frame = frame;
    window.isOnScreen = onScreen;
    return window;
}

template<typename Call>
std::string failureText(Call call)
{
    try {
        call();
    } catch (const Screenshot::Failure& failure) {
        return failure.description();
    }
    return "(no failure)";
}

std::exception_ptr streamError(long code, std::string domain = "SCStreamErrorDomain")
{
    return std::make_exception_ptr(PlatformError(std::move(domain), code, "The sentence."));
}

} // namespace

TEST(ScreenCapture, SourceFollowsTheSystemVersion)
{
    FakePlatform fake;
    EXPECT_EQ(ScreenCapture::source(fake.platform()), "ScreenCaptureKit");
    fake.systemVersion.set(13, 6, 9);
    EXPECT_EQ(ScreenCapture::source(fake.platform()), "CoreGraphics");
}

TEST(ScreenCapture, DisplayNotListedNamesTheCount)
{
    FakePlatform fake;
    fake.screenCapture.setContent({{{1, 1512, 982}, {2, 800, 600}}, {}});
    EXPECT_EQ(failureText([&] { ScreenCapture::display(fake.platform(), 7); }),
              "ScreenCaptureKit lists no display 7 (2 on the list)");
    EXPECT_TRUE(fake.screenCapture.captureCalls().empty());
}

TEST(ScreenCapture, DisplayCaptureSizeFollowsThePixelScale)
{
    struct Case {
        float filterScale;
        Rect bounds;
        std::optional<std::int64_t> modeWidth;
        std::int64_t width, height;
    };
    const Case cases[] = {
        {2.0f, {0, 0, 1512, 982}, std::nullopt, 3024, 1964},  // the filter knows
        {0.0f, {0, 0, 1512, 982}, 3024, 3024, 1964},          // mode width over points
        {-1.0f, {0, 0, -1512, 982}, 3024, 3024, 1964},        // a negative width counts by its size
        {0.0f, {0, 0, 1512, 982}, std::nullopt, 1512, 982},   // no mode: 1.0
        {0.0f, {0, 0, 0, 0}, 3024, 1512, 982},                // no width: 1.0
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        fake.screenCapture.setContent({{{5, 1512, 982}}, {}});
        fake.screenCapture.setPointPixelScale(ContentFilter::Kind::display, 5, c.filterScale);
        fake.displays.set(5, {c.bounds, c.modeWidth, 0, std::nullopt});
        const auto image = ScreenCapture::display(fake.platform(), 5);
        EXPECT_EQ(image.width, c.width);

        const auto contentCalls = fake.screenCapture.contentCalls();
        ASSERT_EQ(contentCalls.size(), 1u);
        EXPECT_FALSE(contentCalls[0].excludingDesktopWindows);
        EXPECT_TRUE(contentCalls[0].onScreenWindowsOnly);
        const auto captures = fake.screenCapture.captureCalls();
        ASSERT_EQ(captures.size(), 1u);
        const auto& configuration = captures[0].configuration;
        EXPECT_EQ(configuration.width, c.width);
        EXPECT_EQ(configuration.height, c.height);
        EXPECT_TRUE(configuration.showsCursor);
        EXPECT_FALSE(configuration.ignoreShadowsSingleWindow.has_value());
        EXPECT_EQ(configuration.pixelFormat, 1111970369u);
        EXPECT_EQ(configuration.captureResolution, 1);
        EXPECT_EQ(captures[0].filter.kind, ContentFilter::Kind::display);
        EXPECT_EQ(captures[0].filter.id, 5u);
    }
}

TEST(ScreenCapture, PixelSizeRoundsHalfAwayAndNeverBelowOne)
{
    struct Case {
        double points, scale;
        std::int64_t pixels;
    };
    const Case cases[] = {
        {100.25, 2.0, 201}, {0.3, 1.0, 1}, {0.0, 2.0, 1}, {982, 2.0, 1964}, {100.2, 1.0, 100},
        {std::nan(""), 1.0, 1}, {1e300, 2.0, std::numeric_limits<std::int32_t>::max()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScreenCapture::pixelSize(c.points, c.scale), c.pixels) << c.points << " x " << c.scale;
}

TEST(ScreenCapture, WindowCaptureUsesTheMainDisplayScaleAndListsHiddenWindows)
{
    FakePlatform fake;
    fake.displays.set(9, {{0, 0, 1440, 900}, 2880, 0, std::nullopt}, true);
    const Rect frame{-300, 20, 100.25, -0.3};
    fake.screenCapture.setContent({{}, {window(3, {0, 0, 10, 10}), window(44, frame, false)}});

    const auto captured = ScreenCapture::window(fake.platform(), 44);
    EXPECT_EQ(captured.frame, frame);
    EXPECT_EQ(captured.image.width, 201);
    EXPECT_EQ(captured.image.height, 1);

    const auto contentCalls = fake.screenCapture.contentCalls();
    ASSERT_EQ(contentCalls.size(), 1u);
    EXPECT_FALSE(contentCalls[0].excludingDesktopWindows);
    EXPECT_FALSE(contentCalls[0].onScreenWindowsOnly);
    const auto configuration = fake.screenCapture.captureCalls().at(0).configuration;
    EXPECT_FALSE(configuration.showsCursor);
    EXPECT_EQ(configuration.ignoreShadowsSingleWindow, std::optional<bool>(true));
    EXPECT_EQ(fake.screenCapture.captureCalls().at(0).filter.kind, ContentFilter::Kind::window);

    EXPECT_EQ(failureText([&] { ScreenCapture::window(fake.platform(), 45); }), "no window with id 45 is on screen");
}

TEST(ScreenCapture, OlderPathCapturesThroughTheWindowServer)
{
    FakePlatform fake;
    fake.systemVersion.set(13, 0, 0);
    EXPECT_EQ(failureText([&] { ScreenCapture::display(fake.platform(), 1); }), "no image came back from the capture");
    fake.displays.set(1, {{0, 0, 10, 10}, std::nullopt, 10, picture(10, 10)});
    EXPECT_EQ(ScreenCapture::display(fake.platform(), 1).width, 10);

    // On-screen windows only: a window the server does not list is not found.
    fake.windowServer.setWindowInfo(Json::array({
        {{"kCGWindowNumber", 8}, {"kCGWindowBounds", {{"X", 5}, {"Y", 6}, {"Width", 70}, {"Height", 80}}}},
        {{"kCGWindowNumber", 9}},
    }));
    fake.windowServer.setWindowImage(8, picture(70, 80));
    fake.windowServer.setWindowImage(9, picture(0, 0));
    const auto captured = ScreenCapture::window(fake.platform(), 8);
    EXPECT_EQ(captured.frame, (Rect{5, 6, 70, 80}));
    EXPECT_EQ(captured.image.width, 70);
    EXPECT_EQ(failureText([&] { ScreenCapture::window(fake.platform(), 9); }), "no image came back from the capture");
    EXPECT_EQ(failureText([&] { ScreenCapture::window(fake.platform(), 10); }), "no window with id 10 is on screen");
    EXPECT_TRUE(fake.screenCapture.contentCalls().empty());
}

TEST(ScreenCapture, ProbeOutcomes)
{
    struct Case {
        Delivery delivery;
        long code;
        Kind kind;
        const char* text;
    };
    const Case cases[] = {
        {Delivery::value, 0, Kind::granted, ""},
        {Delivery::error, -3801, Kind::denied, "ScreenCaptureKit userDeclined (-3801): The sentence."},
        {Delivery::error, -3814, Kind::denied, "ScreenCaptureKit noDisplayList (-3814): The sentence."},
        {Delivery::error, -3803, Kind::unknown, "ScreenCaptureKit missingEntitlements (-3803): The sentence."},
        {Delivery::never, 0, Kind::unknown, "ScreenCaptureKit did not list the shareable content within 10 s"},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        fake.screenCapture.setContentScript({c.delivery, PlatformError("SCStreamErrorDomain", c.code, "The sentence.")});
        const auto probe = ScreenCapture::probe(fake.platform());
        EXPECT_EQ(probe.kind, c.kind) << c.code;
        EXPECT_EQ(probe.text, c.text);
        const auto calls = fake.screenCapture.contentCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_TRUE(calls[0].excludingDesktopWindows);
        EXPECT_TRUE(calls[0].onScreenWindowsOnly);
    }

    FakePlatform older;
    older.systemVersion.set(12, 3, 0);
    older.screenCapture.setContentScript({Delivery::error});
    EXPECT_EQ(ScreenCapture::probe(older.platform()).kind, Kind::granted);
    EXPECT_TRUE(older.screenCapture.contentCalls().empty());
}

TEST(ScreenCapture, DescribeAndIsDenied)
{
    FakePlatform fake;
    auto& platform = fake.platform();
    struct Case {
        std::exception_ptr error;
        const char* text;
        bool denied;
    };
    const Case cases[] = {
        {streamError(-3801), "ScreenCaptureKit userDeclined (-3801): The sentence.", true},
        {streamError(-3814), "ScreenCaptureKit noDisplayList (-3814): The sentence.", true},
        {streamError(-3803), "ScreenCaptureKit missingEntitlements (-3803): The sentence.", false},
        {streamError(-3816), "ScreenCaptureKit removingStream (-3816): The sentence.", false},
        {streamError(-3817), "ScreenCaptureKit code -3817 (-3817): The sentence.", false},
        {streamError(-3801, "X11"), "The sentence. (X11 error -3801)", false},
        {std::make_exception_ptr(Screenshot::Failure::noWindow(9)), "no window with id 9 is on screen", false},
        {std::make_exception_ptr(Screenshot::Failure::black()), "the picture is black", false},
        {std::make_exception_ptr(std::runtime_error("disk full")), "disk full", false},
        {std::make_exception_ptr(17), "unknown error", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScreenCapture::describe(platform, c.error), c.text);
        EXPECT_EQ(ScreenCapture::isDenied(platform, c.error), c.denied) << c.text;
    }

    // On the older path the framework's codes mean nothing: no names, never a refusal.
    fake.systemVersion.set(13, 9, 9);
    EXPECT_EQ(ScreenCapture::describe(platform, streamError(-3801)), "The sentence. (SCStreamErrorDomain error -3801)");
    EXPECT_FALSE(ScreenCapture::isDenied(platform, streamError(-3801)));
}

TEST(ScreenshotFailure, Texts)
{
    EXPECT_EQ(Screenshot::Failure::capture("as said").description(), "as said");
    EXPECT_EQ(Screenshot::Failure::noWindow(4294967295u).description(), "no window with id 4294967295 is on screen");
    EXPECT_EQ(Screenshot::Failure::noImage().description(), "no image came back from the capture");
    EXPECT_EQ(Screenshot::Failure::black().description(), "the picture is black");
    EXPECT_EQ(Screenshot::Failure::encoding().description(), "the picture could not be encoded");
    EXPECT_STREQ(Screenshot::Failure::encoding().what(), "the picture could not be encoded");
}

// A framework that cannot compare as it reads gives a fresh picture, compared with the
// earlier one after: the rows that differ, none for an unchanged screen, and no rows at all
// (every row then counts as changed) when the earlier picture is missing or of another size.
TEST(ScreenCapture, DisplayOverAnEarlierPictureTellsTheRowsThatDiffer)
{
    FakePlatform fake;
    fake.screenCapture.setContent({{{5, 4, 3}}, {}});
    Image screen = picture(4, 3);
    screen.row(1)[5] = 9;
    fake.screenCapture.setImage(screen);
    const struct {
        Image earlier;
        std::vector<std::uint8_t> rows;
    } cases[] = {{picture(4, 3), {0, 1, 0}}, {screen, {0, 0, 0}}, {picture(5, 3), {}}, {Image(), {}}};
    for (const auto& c : cases) {
        const RetakenImage retaken = ScreenCapture::displayOver(fake.platform(), 5, c.earlier);
        EXPECT_EQ(retaken.changedRows, c.rows) << c.earlier.width;
        EXPECT_EQ(retaken.image.pixels, screen.pixels);
    }
}
