#include "imaging/PictureCache.hpp"

#include "BlankImage.hpp"
#include "base/Base64.hpp"
#include "base/PlatformError.hpp"
#include "imaging/AreaShrink.hpp"
#include "imaging/JPEGWriter.hpp"
#include "imaging/PNGWriter.hpp"
#include "platform/linux/LinuxImaging.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr std::size_t threads = 2;

void fillRect(Image& image, int left, int top, int width, int height, std::mt19937& random, bool noisy)
{
    const std::uint32_t colour = random();
    for (int y = std::max(0, top); y < std::min(image.height, top + height); ++y)
        for (int x = std::max(0, left); x < std::min(image.width, left + width); ++x) {
            const std::uint32_t value = noisy ? random() : colour;
            std::uint8_t* pixel = image.row(y) + x * 4;
            pixel[0] = static_cast<std::uint8_t>(value);
            pixel[1] = static_cast<std::uint8_t>(value >> 8);
            pixel[2] = static_cast<std::uint8_t>(value >> 16);
            pixel[3] = 255;
        }
}

// A screen of flat panels with a few noisy (photo-like) ones, so that both the PNG
// compressor's runs and its literals, and JPEG's busy and flat blocks, are exercised.
Image screen(int width, int height, unsigned seed)
{
    Image image = Image::blank(width, height);
    std::mt19937 random(seed);
    fillRect(image, 0, 0, width, height, random, false);
    for (int i = 0; i < 12; ++i)
        fillRect(image, static_cast<int>(random() % width), static_cast<int>(random() % height),
                 static_cast<int>(random() % (width / 2)), static_cast<int>(random() % (height / 3)), random, i % 4 == 0);
    return image;
}

// An arrow-ish pointer drawn over the screen, as a capture with the pointer shows it.
Image withPointer(const Image& screen, int x, int y)
{
    Image image = screen;
    for (int row = 0; row < 20; ++row)
        for (int column = 0; column <= row / 2; ++column) {
            const int px = x + column, py = y + row;
            if (px < 0 || py < 0 || px >= image.width || py >= image.height)
                continue;
            std::uint8_t* pixel = image.row(py) + px * 4;
            const std::uint8_t shade = column == row / 2 ? 0 : 255;
            std::fill(pixel, pixel + 3, shade);
        }
    return image;
}

struct Output {
    int width;
    int height;
    PictureFormat format;
    int quality;
};

// What the whole work gives: the shrink when the size differs, then the encoder.
std::vector<std::uint8_t> wholeFile(const Image& capture, const Output& output)
{
    const bool same = output.width == capture.width && output.height == capture.height;
    const Image shrunk = same ? Image() : areaShrink(capture, output.width, output.height, threads);
    const Image& picture = same ? capture : shrunk;
    return output.format == PictureFormat::png ? writePNG(picture, threads) : writeJPEG(picture, output.quality, threads);
}

// What a capture made over an earlier picture does: writes the rows that differ and marks
// them; a picture of another size is replaced whole, with nothing marked.
std::vector<std::uint8_t> madeOver(Image& earlier, const Image& captured)
{
    return copyRowsThatDiffer(captured, earlier, threads);
}

// A file's text as answers write it.
std::vector<std::uint8_t> escapedBase64(const std::vector<std::uint8_t>& file)
{
    std::string text;
    appendBase64EscapingSlashes(file.data(), file.size(), text);
    return {text.begin(), text.end()};
}

// Asked for PNGs as text (`asText`), the cache gives the text of the whole work's file.
void expectSameAsWhole(PictureCache& cache, const Output& output, const std::string& step, bool asText = false)
{
    const Image& capture = cache.current();
    if (asText && output.format == PictureFormat::png) {
        const auto text = cache.encodePNGAsBase64Text(output.width, output.height, threads);
        ASSERT_TRUE(text) << step;
        EXPECT_TRUE(*text == escapedBase64(wholeFile(capture, output))) << step;
    } else {
        EXPECT_TRUE(cache.encode(output.width, output.height, output.format, output.quality, threads)
                    == wholeFile(capture, output))
            << step;
    }
    EXPECT_TRUE(cache.thumbnail(64, 36, threads).pixels == areaShrink(capture, 64, 36, threads).pixels) << step;
}

} // namespace

// Pictures of a screen big enough for many JPEG bands and PNG strips (1200 x 700: 22 bands
// of 32 rows, 20 strips of 36), changed step by step as a desktop changes, each answered from the
// cache and compared, byte for byte, with the whole work on the same capture; once with PNGs
// asked for as files, once as their text.
class PictureCacheRandom : public testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(PNGAsFileOrText, PictureCacheRandom, testing::Bool());

TEST_P(PictureCacheRandom, ChangesGiveTheFilesOfTheWholeWork)
{
    const bool asText = GetParam();
    std::mt19937 random(20);
    Image desktop = screen(1200, 700, 1);
    int pointerX = 600, pointerY = 350;
    const Output outputs[] = {
        {1200, 700, PictureFormat::jpeg, 80}, // captured size
        {1013, 591, PictureFormat::jpeg, 80}, // the budget's shrink: reaches across band edges
        {1013, 591, PictureFormat::jpeg, 55},
        {1200, 700, PictureFormat::png, 0},
        {611, 357, PictureFormat::png, 0},
    };
    PictureCache cache;
    const Output* output = &outputs[1];
    for (int step = 0; step < 40; ++step) {
        std::string what;
        switch (random() % 7) {
        case 0: // a clock or a button: a small flat rectangle
            fillRect(desktop, static_cast<int>(random() % 1200), static_cast<int>(random() % 700), 200, 40, random, false);
            what = "small change";
            break;
        case 1: // a tall noisy strip, as a video or a GL client draws
            fillRect(desktop, static_cast<int>(random() % 1200), static_cast<int>(random() % 700), 30, 90, random, true);
            what = "tall noisy change";
            break;
        case 2:
            fillRect(desktop, static_cast<int>(random() % 1200), static_cast<int>(random() % 650), 80, 30, random, true);
            what = "noisy change";
            break;
        case 3: // only the pointer moves
            pointerX = static_cast<int>(random() % 1250) - 25;
            pointerY = static_cast<int>(random() % 750) - 25;
            what = "pointer move";
            break;
        case 4: // nothing at all
            what = "nothing changed";
            break;
        case 5: // another output kind of the same screen
            output = &outputs[random() % std::size(outputs)];
            what = "output now " + std::to_string(output->width) + "x" + std::to_string(output->height);
            break;
        default: { // one row on a band edge (31/32) or a strip edge (35/36), where a reach ends
            const int y = std::vector<int>{31, 32, 35, 36, 287, 288, 0, 699}[random() % 8];
            fillRect(desktop, 0, y, 1200, 1, random, true);
            what = "row " + std::to_string(y);
            break;
        }
        }
        // Half the captures are made over the lent picture, as a display server that
        // compares while it reads does; the others are compared by the cache.
        const Image captured = withPointer(desktop, pointerX, pointerY);
        if (random() % 2) {
            Image lent = cache.lend(7);
            const std::vector<std::uint8_t> rows = madeOver(lent, captured);
            cache.take(7, std::move(lent), rows.empty() ? nullptr : &rows, threads);
            what += ", made over the lent picture";
        } else {
            cache.take(7, captured, nullptr, threads);
        }
        expectSameAsWhole(cache, *output, "step " + std::to_string(step) + ": " + what, asText);
    }
}

// A picture made over an earlier one: afterwards it is the new picture byte for byte, and
// exactly the rows that differed are marked, across the parts the threads share out (64
// rows each) and up to the last row. An earlier picture that cannot be written over row by
// row becomes a whole copy, with nothing marked.
TEST(PictureCache, CopyRowsThatDifferWritesAndMarksExactlyTheChangedRows)
{
    std::mt19937 random(5);
    const Image before = screen(90, 200, 4);
    Image after = before;
    const std::vector<int> changedRows = {0, 63, 64, 130, 199};
    for (int y : changedRows)
        fillRect(after, static_cast<int>(random() % 90), y, 1, 1, random, true);
    std::vector<std::uint8_t> expected(200, 0);
    for (int y : changedRows)
        expected[static_cast<std::size_t>(y)] = 1;

    for (const std::size_t threadCount : {std::size_t{1}, std::size_t{3}}) {
        Image earlier = before;
        const auto* memory = earlier.pixels.data();
        EXPECT_EQ(copyRowsThatDiffer(after, earlier, threadCount), expected) << threadCount;
        EXPECT_TRUE(earlier.pixels == after.pixels) << threadCount;
        EXPECT_EQ(earlier.pixels.data(), memory) << "written in place, " << threadCount;
        EXPECT_EQ(copyRowsThatDiffer(after, earlier, threadCount), std::vector<std::uint8_t>(200, 0)) << threadCount;
    }

    const struct {
        const char* what;
        Image earlier;
    } wholes[] = {
        {"none", Image()},
        {"shorter", screen(90, 199, 4)},
        {"narrower", screen(89, 200, 4)},
        {"padded rows", blankImage(90, 200, 8)},
    };
    for (const auto& whole : wholes) {
        Image earlier = whole.earlier;
        EXPECT_TRUE(copyRowsThatDiffer(after, earlier, threads).empty()) << whole.what;
        EXPECT_EQ((std::tuple{earlier.width, earlier.height, earlier.bytesPerRow}),
                  (std::tuple{after.width, after.height, after.bytesPerRow}))
            << whole.what;
        EXPECT_TRUE(earlier.pixels == after.pixels) << whole.what;
    }
}

// The number of rows that changed is what the comparison found, the cache's or the one a
// capture over the lent picture made; a capture of another size or source is never
// compared, and after clear() nothing is left.
TEST(PictureCache, ComparesOnlyCapturesOfTheSameSourceAndSize)
{
    std::mt19937 random(3);
    Image desktop = screen(300, 200, 2);
    PictureCache cache;
    EXPECT_EQ(cache.take(1, desktop, nullptr, threads), 200u); // nothing to compare with
    EXPECT_EQ(cache.take(1, desktop, nullptr, threads), 0u);
    fillRect(desktop, 10, 50, 5, 7, random, true);
    EXPECT_EQ(cache.take(1, desktop, nullptr, threads), 7u);

    // Lent and brought back with the capture's own rows, which are believed as they are.
    EXPECT_TRUE(cache.lend(2).pixels.empty()); // another source's
    Image lent = cache.lend(1);
    EXPECT_TRUE(lent.pixels == desktop.pixels);
    EXPECT_TRUE(cache.current().pixels.empty());
    fillRect(desktop, 0, 120, 300, 4, random, true);
    std::vector<std::uint8_t> rows = madeOver(lent, desktop);
    EXPECT_EQ(cache.take(1, std::move(lent), &rows, threads), 4u);
    expectSameAsWhole(cache, {300, 200, PictureFormat::png, 0}, "brought back");
    // Rows from a capture that was not made over a lent picture are not believed.
    EXPECT_EQ(cache.take(1, desktop, &rows, threads), 0u);
    // Nor are rows of another size than the lent picture's.
    cache.lend(1);
    const std::vector<std::uint8_t> wrongRows(201, 0);
    EXPECT_EQ(cache.take(1, screen(300, 201, 2), &wrongRows, threads), 201u);
    EXPECT_EQ(cache.take(2, desktop, nullptr, threads), 200u); // another source
    EXPECT_EQ(cache.take(2, screen(300, 201, 2), nullptr, threads), 201u);

    cache.clear();
    EXPECT_TRUE(cache.current().pixels.empty());
    EXPECT_EQ(cache.take(2, desktop, nullptr, threads), 200u);
    expectSameAsWhole(cache, {300, 200, PictureFormat::png, 0}, "after clear");
}

// A capture too large to keep is worked on whole and given back once encoded: the next
// picture of it compares nothing, and its file is still the whole work's.
TEST(PictureCache, CapturesAboveTheLimitAreNotKept)
{
    const int width = 2048, height = 1537; // just over the limit
    ASSERT_GT(static_cast<std::size_t>(width) * height * 4, PictureCache::largestKeptCapture);
    const Image large = screen(width, height, 4);
    PictureCache cache;
    cache.take(1, screen(300, 200, 2), nullptr, threads); // a kept one, dropped for the large
    for (int picture = 0; picture < 2; ++picture) {
        EXPECT_EQ(cache.take(1, large, nullptr, threads), static_cast<std::size_t>(height));
        // Its PNG is better written once as a file than kept as text.
        EXPECT_FALSE(cache.encodePNGAsBase64Text(1024, 768, threads));
        EXPECT_TRUE(cache.encode(1024, 768, PictureFormat::jpeg, 80, threads) == wholeFile(large, {1024, 768, PictureFormat::jpeg, 80}));
        EXPECT_TRUE(cache.current().pixels.empty());
    }
    const Image small = screen(2048, 1536, 4); // at the limit: kept
    cache.take(1, small, nullptr, threads);
    cache.encode(1024, 768, PictureFormat::jpeg, 80, threads);
    EXPECT_EQ(cache.take(1, small, nullptr, threads), 0u);
}

// Captures that change size, and outputs that change size, format and quality, between
// pictures: every file is still the whole work's.
TEST(PictureCache, SizeAndFormatChangesBetweenPictures)
{
    struct Case {
        int captureWidth, captureHeight;
        Output output;
    };
    const Case cases[] = {
        {640, 480, {640, 480, PictureFormat::jpeg, 80}},
        {640, 480, {500, 375, PictureFormat::jpeg, 80}},
        {800, 600, {500, 375, PictureFormat::jpeg, 80}}, // a new screen size, same output size
        {800, 600, {500, 375, PictureFormat::png, 0}},
        {800, 600, {800, 600, PictureFormat::png, 0}},
        {640, 480, {640, 480, PictureFormat::png, 0}},
        {640, 480, {640, 480, PictureFormat::jpeg, 100}},
        {17, 9, {17, 9, PictureFormat::jpeg, 80}}, // smaller than one MCU
        {640, 480, {1, 1, PictureFormat::png, 0}},
    };
    PictureCache cache;
    unsigned seed = 0;
    for (const Case& c : cases) {
        for (int again = 0; again < 2; ++again) { // the second time from the kept work
            cache.take(1, screen(c.captureWidth, c.captureHeight, seed), nullptr, threads);
            const std::string step = std::to_string(c.captureWidth) + "x" + std::to_string(c.captureHeight) + " to "
                + std::to_string(c.output.width) + "x" + std::to_string(c.output.height) + " again "
                + std::to_string(again);
            EXPECT_TRUE(cache.encode(c.output.width, c.output.height, c.output.format, c.output.quality, threads)
                        == wholeFile(cache.current(), c.output))
                << step;
        }
        ++seed;
    }
}

// A PNG strip's repeats may reach into the row before it, the last of the strip above. On a
// screen whose rows all repeat one noisy row (vertical stripes), every row is one long
// repeat of the row above; when only that last row changes, the strip below it must be
// compressed again, or its repeat would copy the new row.
TEST(PictureCache, AStripIsRemadeWhenTheRowBeforeItChanges)
{
    std::mt19937 random(11);
    const int width = 1200; // 1 + 3 x 1200 bytes a filtered row: 36 rows a strip
    const auto rowsPerStrip = static_cast<int>(pngStripBytes / (1 + 3 * static_cast<std::size_t>(width)));
    Image stripes = Image::blank(width, 3 * rowsPerStrip);
    fillRect(stripes, 0, 0, width, 1, random, true);
    for (int y = 1; y < stripes.height; ++y)
        std::copy_n(stripes.row(0), width * 4, stripes.row(y));
    for (const int y : {rowsPerStrip - 1, 2 * rowsPerStrip - 1}) {
        PictureCache cache;
        Image changed = stripes;
        cache.take(1, changed, nullptr, threads);
        cache.encode(width, changed.height, PictureFormat::png, 0, threads);
        fillRect(changed, 0, y, width, 1, random, true);
        cache.take(1, changed, nullptr, threads);
        EXPECT_TRUE(cache.encode(width, changed.height, PictureFormat::png, 0, threads) == writePNG(changed, threads))
            << "row " << y;
    }
}

// An encoder that fails keeps nothing half made: the next picture is whole and right.
TEST(PictureCache, AFailedEncodingLeavesNothingToReuse)
{
    std::mt19937 random(5);
    Image wide = Image::blank(70'000, 3); // wider than JPEG allows, fine for PNG
    fillRect(wide, 0, 0, 70'000, 3, random, true);
    PictureCache cache;
    cache.take(1, wide, nullptr, threads);
    EXPECT_ANY_THROW(cache.encode(70'000, 3, PictureFormat::jpeg, 80, threads));
    fillRect(wide, 100, 1, 10, 1, random, true);
    cache.take(1, wide, nullptr, threads);
    EXPECT_TRUE(cache.encode(70'000, 3, PictureFormat::png, 0, threads) == writePNG(wide, threads));
}

// The platform's kept calls: the same files as the plain calls, enlargements included,
// and nothing to encode once the kept picture is given back.
TEST(LinuxImagingKept, SameFilesAsThePlainCalls)
{
    LinuxImaging imaging;
    const Image desktop = screen(320, 240, 9);
    const PictureSource display{PictureSource::Kind::display, 1, true};
    imaging.keep(display, desktop, nullptr);
    const auto file = [](EncodedPicture encoded) {
        EXPECT_FALSE(encoded.base64Text);
        return encoded.bytes;
    };
    EXPECT_EQ(file(imaging.encodeKept(320, 240, PictureFormat::jpeg, 0.8)), imaging.encodeJPEG(desktop, 0.8));
    // A kept picture's PNG comes as its text, which its strips keep.
    const EncodedPicture png = imaging.encodeKept(200, 150, PictureFormat::png, 0.8);
    EXPECT_TRUE(png.base64Text);
    EXPECT_EQ(png.bytes, escapedBase64(imaging.encodePNG(imaging.resize(desktop, 200, 150))));
    EXPECT_EQ(file(imaging.encodeKept(400, 300, PictureFormat::jpeg, 0.5)),
              imaging.encodeJPEG(imaging.resize(desktop, 400, 300), 0.5));
    EXPECT_EQ(imaging.keptThumbnail(64, 36).pixels, imaging.thumbnail(desktop, 64, 36).pixels);
    EXPECT_EQ(imaging.keptThumbnail(400, 2).pixels, imaging.thumbnail(desktop, 400, 2).pixels);

    imaging.releaseKept();
    EXPECT_THROW(imaging.encodeKept(320, 240, PictureFormat::jpeg, 0.8), PlatformError);
    EXPECT_THROW(imaging.keep(display, Image(), nullptr), PlatformError);
}
