#include "screenshot/Screenshot.hpp"

#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using Operation = FakeImaging::Operation;
using Screenshot::Size;

Image filled(int width, int height, std::uint8_t blue, std::uint8_t green, std::uint8_t red, std::uint8_t alpha = 255)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4;
    image.pixels.resize(image.bytesPerRow * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        image.pixels[i] = blue;
        image.pixels[i + 1] = green;
        image.pixels[i + 2] = red;
        image.pixels[i + 3] = alpha;
    }
    return image;
}

std::string text(const std::vector<std::uint8_t>& bytes)
{
    return {bytes.begin(), bytes.end()};
}

// A main display of 1512 x 982 points at two pixels a point: captures are 3024 x 1964.
class ScreenshotTest : public testing::Test {
protected:
    ScreenshotTest()
    {
        fake.displays.set(1, {Rect{0, 0, 1512, 982}, 3024, 3024, std::nullopt}, true);
        fake.screenCapture.setContent({{ShareableDisplay{1, 1512, 982}}, {}});
        fake.screenCapture.setPointPixelScale(ContentFilter::Kind::display, 1, 2.0f);
    }

    void addWindow(std::uint32_t id, Rect frame)
    {
        ShareableWindow window;
        window.windowID = id;
        window.frame = frame;
        fake.screenCapture.setContent({{ShareableDisplay{1, 1512, 982}}, {window}});
    }

    FakePlatform fake;
    Platform& platform = fake.platform();
};

}

TEST(ScreenshotSize, BudgetAndExplicitSize)
{
    struct Case {
        Size captured;
        std::optional<std::int64_t> width, height;
        std::int64_t maxPixels;
        Size expected;
    };
    const Case cases[] = {
        {{3024, 1964}, {}, {}, 2'000'000, {1754, 1139}},
        {{3024, 1964}, {}, {}, 10'000'000, {3024, 1964}},
        {{3024, 1964}, {}, {}, 3024 * 1964, {3024, 1964}},      // a budget equal to the area keeps it
        {{3024, 1964}, {}, {}, 3024 * 1964 - 1, {3023, 1963}},  // one pixel less shrinks both sides
        {{200'000, 1}, {}, {}, 10'000, {44721, 1}},             // the side that rounds to 0 is raised to 1
        {{1, 200'000}, {}, {}, 10'000, {1, 44721}},
        {{3024, 1964}, 800, 600, 2'000'000, {800, 600}},        // exact size, budget and aspect ignored
        {{3024, 1964}, 800, 600, 10'000, {800, 600}},
        {{1920, 1080}, 4000, 3000, 2'000'000, {4000, 3000}},    // enlarged
        {{3024, 1964}, 800, {}, 2'000'000, {1754, 1139}},       // width alone: the budget applies
        {{3024, 1964}, {}, 600, 2'000'000, {1754, 1139}},
        {{3024, 1964}, 800, 0, 2'000'000, {1754, 1139}},
        {{3024, 1964}, 0, 0, 2'000'000, {1754, 1139}},
        {{800, 600}, {}, {}, 0, {800, 600}},                    // no budget
        {{1, 1}, {}, {}, 10'000, {1, 1}},
    };
    for (const auto& c : cases) {
        const Size got = Screenshot::target(c.captured, c.width, c.height, c.maxPixels);
        EXPECT_EQ(got, c.expected) << c.captured.width << "x" << c.captured.height << " budget " << c.maxPixels
                                   << " got " << got.width << "x" << got.height;
    }
}

TEST(ScreenshotSize, EncodingRuleAndGeometryHelpers)
{
    EXPECT_EQ(Screenshot::encoding("png"), Screenshot::Encoding::png);
    for (const char* format : {"PNG", "Png", "png ", "jpg", "jpeg", "", "gif"})
        EXPECT_EQ(Screenshot::encoding(format), Screenshot::Encoding::jpeg) << format;

    EXPECT_DOUBLE_EQ(Screenshot::scale(3024, 1512), 2.0);
    EXPECT_DOUBLE_EQ(Screenshot::scale(3024, 0), 1.0);
    EXPECT_DOUBLE_EQ(Screenshot::scale(3024, -5), 1.0);

    EXPECT_EQ(Screenshot::truncatePoints(-1200.7), -1200);
    EXPECT_EQ(Screenshot::truncatePoints(35.9), 35);
    EXPECT_EQ(Screenshot::truncatePoints(std::nan("")), 0);
    EXPECT_EQ(Screenshot::truncatePoints(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Screenshot::truncatePoints(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST_F(ScreenshotTest, TakeReducesToTheBudgetInOneRedraw)
{
    const Shot shot = Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8);
    EXPECT_EQ(text(shot.data), "JPEG 1754x1139");
    EXPECT_EQ(shot.mime, "image/jpeg");
    EXPECT_EQ(shot.width, 1754);
    EXPECT_EQ(shot.height, 1139);
    EXPECT_EQ(shot.screenWidth, 1512);
    EXPECT_EQ(shot.screenHeight, 982);
    EXPECT_DOUBLE_EQ(shot.scale, 2.0); // the capture's, not the picture's
    EXPECT_EQ(shot.originX, 0);
    EXPECT_EQ(shot.originY, 0);

    const auto calls = fake.imaging.calls();
    ASSERT_EQ(fake.imaging.count(Operation::resize), 1u);
    ASSERT_EQ(calls.size(), 3u); // thumbnail, resize, encode
    EXPECT_EQ(calls[0].operation, Operation::thumbnail);
    EXPECT_EQ(calls[1].operation, Operation::resize);
    EXPECT_EQ(calls[1].sourceWidth, 3024);
    EXPECT_EQ(calls[1].width, 1754);
    EXPECT_EQ(calls[1].height, 1139);
    EXPECT_EQ(calls[2].operation, Operation::encodeJPEG);
    EXPECT_DOUBLE_EQ(calls[2].quality, 0.8);
}

TEST_F(ScreenshotTest, PictureAlreadyAtTheTargetIsEncodedAsCaptured)
{
    // Within the budget, and an explicit size equal to the capture's.
    for (const auto& [width, height, budget] : {std::tuple<std::optional<std::int64_t>, std::optional<std::int64_t>, std::int64_t>{{}, {}, 10'000'000},
                                               {3024, 1964, 10'000}}) {
        const Shot shot = Screenshot::take(platform, width, height, budget, "png", 0.5);
        EXPECT_EQ(text(shot.data), "PNG 3024x1964");
        EXPECT_EQ(shot.mime, "image/png");
    }
    EXPECT_EQ(fake.imaging.count(Operation::resize), 0u);
    EXPECT_EQ(fake.imaging.count(Operation::encodeJPEG), 0u);
}

TEST_F(ScreenshotTest, ExplicitSizeOverridesBudgetAndMayEnlarge)
{
    EXPECT_EQ(text(Screenshot::take(platform, 800, 600, 10'000, "jpeg", 0.8).data), "JPEG 800x600");
    const Shot large = Screenshot::take(platform, 5000, 100, 10'000, "jpeg", 0.8);
    EXPECT_EQ(large.width, 5000);
    EXPECT_EQ(large.height, 100);
    EXPECT_EQ(fake.imaging.count(Operation::resize), 2u);

    // Nothing beyond the largest picture the imaging layer makes is even asked for.
    for (const auto& [width, height] : {std::pair{20'000, 20'000}, {10'001, 10'000}}) {
        try {
            Screenshot::take(platform, width, height, 10'000, "jpeg", 0.8);
            FAIL() << "a picture of " << width << "x" << height << " was made";
        } catch (const Screenshot::Failure& failure) {
            EXPECT_EQ(failure.kind(), Screenshot::Failure::Kind::encoding);
        }
    }
    EXPECT_EQ(fake.imaging.count(Operation::resize), 2u);
}

TEST_F(ScreenshotTest, OnlyExactlyPngGivesPng)
{
    for (const auto& [format, mime] : {std::pair{"png", "image/png"}, {"PNG", "image/jpeg"}, {"jpg", "image/jpeg"},
                                       {"", "image/jpeg"}}) {
        const Shot shot = Screenshot::take(platform, {}, {}, 10'000'000, format, 0.3);
        EXPECT_EQ(shot.mime, mime) << format;
        EXPECT_EQ(text(shot.data).substr(0, 4), std::string(mime) == "image/png" ? "PNG " : "JPEG") << format;
    }
    EXPECT_EQ(fake.imaging.count(Operation::encodePNG), 1u);
    EXPECT_EQ(fake.imaging.count(Operation::encodeJPEG), 3u);
}

TEST_F(ScreenshotTest, DisplayFrameOfZeroWidthGivesScaleOne)
{
    fake.displays.set(1, {Rect{0, 0, 0, 982}, 3024, 3024, std::nullopt}, true);
    const Shot shot = Screenshot::take(platform, {}, {}, 10'000'000, "png", 0.8);
    EXPECT_DOUBLE_EQ(shot.scale, 1.0);
    EXPECT_EQ(shot.screenWidth, 0);
    EXPECT_EQ(shot.width, 3024);
}

TEST_F(ScreenshotTest, BlackTestLooksAtTheAreaAveragedThumbnail)
{
    struct Case {
        const char* name;
        Image image;
        bool black;
    };
    // 1920 x 1080 makes each thumbnail pixel the mean of a 30 x 30 block.
    auto blockOf = [](int channel, std::uint8_t value) {
        Image image = filled(1920, 1080, 0, 0, 0);
        for (int y = 300; y < 330; ++y)
            for (int x = 600; x < 630; ++x)
                image.row(y)[x * 4 + channel] = value;
        return image;
    };
    auto onePixel = filled(1920, 1080, 0, 0, 0);
    onePixel.row(500)[1000 * 4 + 1] = 255;
    Case cases[] = {
        {"all 7, alpha 255 not looked at", filled(1920, 1080, 7, 7, 7, 255), true},
        {"all 8 in red", filled(1920, 1080, 0, 0, 8), false},
        {"all 8 in blue", filled(1920, 1080, 8, 0, 0), false},
        {"alpha 0 on black", filled(1920, 1080, 0, 0, 0, 0), true},
        {"one block of 7", blockOf(1, 7), true},
        {"one block of 8 in green", blockOf(1, 8), false},
        {"one block of 8 in red", blockOf(2, 8), false},
        {"a lone bright pixel averages away", onePixel, true},
        {"tiny picture", filled(3, 2, 9, 0, 0), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(Screenshot::isBlack(platform, c.image), c.black) << c.name;
        const auto calls = fake.imaging.calls();
        EXPECT_EQ(calls.back().width, 64);
        EXPECT_EQ(calls.back().height, 36);
    }
}

TEST_F(ScreenshotTest, BlackDisplayIsRefusedBeforeAnyResizeOrEncoding)
{
    fake.screenCapture.setImage(filled(3024, 1964, 7, 7, 7));
    try {
        Screenshot::take(platform, 800, 600, 2'000'000, "png", 0.8);
        FAIL() << "a black picture was accepted";
    } catch (const Screenshot::Failure& failure) {
        EXPECT_EQ(failure.kind(), Screenshot::Failure::Kind::black);
        EXPECT_STREQ(failure.what(), "the picture is black");
    }
    EXPECT_EQ(fake.imaging.calls().size(), 1u); // the thumbnail only
}

TEST_F(ScreenshotTest, BlackScreenWithThePointerOnItIsStillBlack)
{
    // The framework draws a white 32 x 32 pointer into every picture that shows it.
    fake.screenCapture.setPointer(filled(32, 32, 255, 255, 255), 1000, 500);
    auto blackWithSquare = [](int left, int top, int side) {
        Image image = filled(3024, 1964, 0, 0, 0);
        for (int y = top; y < top + side; ++y)
            for (int x = left; x < left + side; ++x)
                image.row(y)[x * 4 + 1] = 255;
        return image;
    };
    struct Case {
        const char* name;
        Image screen;
        bool black;
        std::size_t captures;
    };
    const Case cases[] = {
        {"black screen", filled(3024, 1964, 0, 0, 0), true, 2},
        {"screen at the threshold", filled(3024, 1964, 7, 7, 7), true, 2},
        {"lit screen", filled(3024, 1964, 40, 40, 40), false, 1},
        {"a lit patch wider than any pointer", blackWithSquare(200, 200, 600), false, 1},
        {"small lit patches far apart", blackWithSquare(2000, 1500, 40), false, 1},
        {"a small lit patch beside the pointer", blackWithSquare(1060, 520, 40), false, 2},
    };
    for (const auto& c : cases) {
        fake.screenCapture.setImage(c.screen);
        const auto before = fake.screenCapture.captureCalls().size();
        if (c.black) {
            try {
                Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8);
                ADD_FAILURE() << c.name << ": a black screen was answered";
            } catch (const Screenshot::Failure& failure) {
                EXPECT_EQ(failure.kind(), Screenshot::Failure::Kind::black) << c.name;
            }
        } else {
            EXPECT_EQ(Screenshot::take(platform, {}, {}, 10'000'000, "png", 0.8).mime, "image/png") << c.name;
        }
        const auto calls = fake.screenCapture.captureCalls();
        ASSERT_EQ(calls.size() - before, c.captures) << c.name;
        EXPECT_TRUE(calls[before].configuration.showsCursor) << c.name;
        if (c.captures == 2) {
            EXPECT_FALSE(calls.back().configuration.showsCursor) << c.name;
        }
    }
}

TEST_F(ScreenshotTest, ThumbnailThatCannotBeMadeIsNotBlack)
{
    fake.imaging.fail(Operation::thumbnail);
    EXPECT_FALSE(Screenshot::isBlack(platform, filled(64, 36, 0, 0, 0)));
    fake.screenCapture.setImage(filled(3024, 1964, 0, 0, 0));
    EXPECT_EQ(Screenshot::take(platform, {}, {}, 10'000'000, "png", 0.8).mime, "image/png");
}

TEST_F(ScreenshotTest, ImagingFailuresBecomeTheEncodingFailure)
{
    for (const auto operation : {Operation::resize, Operation::encodeJPEG}) {
        fake.imaging.fail(operation);
        try {
            Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8);
            FAIL() << "the failure was not reported";
        } catch (const Screenshot::Failure& failure) {
            EXPECT_EQ(failure.kind(), Screenshot::Failure::Kind::encoding);
            EXPECT_STREQ(failure.what(), "the picture could not be encoded");
        }
        fake.imaging.succeed();
    }
    fake.imaging.fail(Operation::encodePNG);
    addWindow(7, Rect{0, 0, 100, 100});
    EXPECT_THROW(Screenshot::window(platform, 7, 0, "png", 0.8), Screenshot::Failure);
}

TEST_F(ScreenshotTest, CaptureErrorsPassThroughUnchanged)
{
    fake.screenCapture.setContentScript({FakeScreenCaptureFramework::Delivery::error,
                                         PlatformError(screenCaptureErrorDomain, -3801, "declined")});
    try {
        Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8);
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain, screenCaptureErrorDomain);
        EXPECT_EQ(error.code, -3801);
    }
    fake.screenCapture.setContentScript({});
    try {
        Screenshot::window(platform, 42, 0, "png", 0.8);
        FAIL() << "no error";
    } catch (const Screenshot::Failure& failure) {
        EXPECT_EQ(failure.kind(), Screenshot::Failure::Kind::noWindow);
        EXPECT_EQ(failure.windowID(), 42u);
    }
    EXPECT_TRUE(fake.imaging.calls().empty());
}

TEST_F(ScreenshotTest, WindowShotCarriesTheTruncatedFrameAndSkipsTheBlackTest)
{
    addWindow(7, Rect{-1200.7, 35.9, 800.5, 600.2});
    fake.screenCapture.setImage(filled(1601, 1200, 0, 0, 0)); // black, and still answered
    const Shot shot = Screenshot::window(platform, 7, 0, "png", 0.8);
    EXPECT_EQ(shot.originX, -1200);
    EXPECT_EQ(shot.originY, 35);
    EXPECT_EQ(shot.screenWidth, 800);
    EXPECT_EQ(shot.screenHeight, 600);
    EXPECT_DOUBLE_EQ(shot.scale, 1601 / 800.5);
    EXPECT_EQ(text(shot.data), "PNG 1601x1200");
    EXPECT_EQ(fake.imaging.count(Operation::thumbnail), 0u);
    EXPECT_EQ(fake.imaging.count(Operation::resize), 0u); // no budget: full resolution
}

TEST_F(ScreenshotTest, WindowShotAppliesAGivenBudget)
{
    addWindow(7, Rect{10, 20, 800, 600});
    fake.screenCapture.setImage(filled(1600, 1200, 50, 60, 70));
    const Shot shot = Screenshot::window(platform, 7, 480'000, "jpeg", 0.9);
    EXPECT_EQ(shot.width, 800);
    EXPECT_EQ(shot.height, 600);
    EXPECT_EQ(shot.mime, "image/jpeg");
    EXPECT_DOUBLE_EQ(shot.scale, 2.0);
}

// Every capture becomes the imaging layer's kept picture under its own source, so a window's
// picture is never compared with the display's, nor a picture with the pointer with one
// without it; the black test's second capture, without the pointer, is not kept.
TEST_F(ScreenshotTest, EachCaptureIsKeptUnderItsSource)
{
    addWindow(7, Rect{10, 20, 800, 600});
    fake.screenCapture.setPointer(filled(32, 32, 255, 255, 255), 1000, 500);
    fake.screenCapture.setImage(filled(3024, 1964, 0, 0, 0));
    EXPECT_THROW(Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8), Screenshot::Failure); // black
    fake.screenCapture.setImage(filled(3024, 1964, 50, 60, 70));
    Screenshot::take(platform, {}, {}, 2'000'000, "jpeg", 0.8);
    Screenshot::window(platform, 7, 0, "png", 0.8);

    const PictureSource display{PictureSource::Kind::display, 1, true};
    const PictureSource window{PictureSource::Kind::window, 7, false};
    EXPECT_EQ(fake.imaging.keptSources(), (std::vector<PictureSource>{display, display, window}));
}
