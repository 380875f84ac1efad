#include "platform/wayland/WaylandPicture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <tuple>

namespace {

constexpr std::uint32_t argb8888 = 0, xrgb8888 = 1;
constexpr std::uint32_t xbgr8888 = 'X' | ('B' << 8) | ('2' << 16) | ('4' << 24);

// A 3 x 2 buffer whose pixel (x, y) has blue = 10 * y + x, green 100, red 200, alpha 7,
// rows padded to 16 bytes.
std::vector<std::uint8_t> buffer()
{
    std::vector<std::uint8_t> bytes(16 * 2, 0xee);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            std::uint8_t* at = &bytes[static_cast<std::size_t>(y * 16 + x * 4)];
            at[0] = static_cast<std::uint8_t>(10 * y + x);
            at[1] = 100;
            at[2] = 200;
            at[3] = 7;
        }
    }
    return bytes;
}

int blueAt(const Image& image, int x, int y)
{
    return image.row(y)[x * 4];
}

TEST(WaylandPicture, FormatsBecomeBGRAWithAlphaWhereTheyHaveNone)
{
    const auto bytes = buffer();
    const auto argb = pictureFromBuffer(bytes.data(), bytes.size(), {argb8888, 3, 2, 16, false}, 0);
    ASSERT_TRUE(argb);
    EXPECT_EQ(std::vector<std::uint8_t>(argb->row(1), argb->row(1) + 4), (std::vector<std::uint8_t>{10, 100, 200, 7}));
    const auto xrgb = pictureFromBuffer(bytes.data(), bytes.size(), {xrgb8888, 3, 2, 16, false}, 0);
    EXPECT_EQ(xrgb->row(0)[3], 0xff);
    // Red first in memory: the channels trade places.
    const auto xbgr = pictureFromBuffer(bytes.data(), bytes.size(), {xbgr8888, 3, 2, 16, false}, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(xbgr->row(0), xbgr->row(0) + 4), (std::vector<std::uint8_t>{200, 100, 0, 0xff}));
    // Unreadable formats and short buffers give nothing.
    EXPECT_FALSE(pictureFromBuffer(bytes.data(), bytes.size(), {0x30334241, 3, 2, 16, false}, 0));
    EXPECT_FALSE(pictureFromBuffer(bytes.data(), bytes.size() - 1, {argb8888, 3, 2, 16, false}, 0));
}

TEST(WaylandPicture, InvertedRowsAndTurnedOutputsComeOutUpright)
{
    const auto bytes = buffer();
    const auto inverted = pictureFromBuffer(bytes.data(), bytes.size(), {argb8888, 3, 2, 16, true}, 0);
    EXPECT_EQ(blueAt(*inverted, 0, 0), 10);
    // Each transform: the picture's size and which buffer pixel lands at its corners (the
    // turned and flipped ones checked against grim's pictures of a turned headless output).
    const struct {
        int transform;
        int width, height;
        std::array<int, 4> corners; // top-left, top-right, bottom-left, bottom-right
    } cases[] = {
        {0, 3, 2, {0, 2, 10, 12}},  {1, 2, 3, {10, 0, 12, 2}}, {2, 3, 2, {12, 10, 2, 0}},
        {3, 2, 3, {2, 12, 0, 10}},  {4, 3, 2, {2, 0, 12, 10}}, {5, 2, 3, {0, 10, 2, 12}},
        {6, 3, 2, {10, 12, 0, 2}},  {7, 2, 3, {12, 2, 10, 0}},
    };
    for (const auto& c : cases) {
        const auto image = pictureFromBuffer(bytes.data(), bytes.size(), {argb8888, 3, 2, 16, false}, c.transform);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, c.width) << c.transform;
        EXPECT_EQ(image->height, c.height) << c.transform;
        const std::array<int, 4> corners = {blueAt(*image, 0, 0), blueAt(*image, c.width - 1, 0),
                                            blueAt(*image, 0, c.height - 1), blueAt(*image, c.width - 1, c.height - 1)};
        EXPECT_EQ(corners, c.corners) << c.transform;
    }
}

// A watched output's picture is read into the memory of its last one: every byte of it must
// be written, in each format and orientation, and a picture of another size replaced.
TEST(WaylandPicture, WrittenOverAnEarlierPictureIsTheSameAsAFreshOne)
{
    const auto bytes = buffer();
    for (const std::uint32_t format : {argb8888, xrgb8888, xbgr8888}) {
        for (int transform = 0; transform < 8; ++transform) {
            const SharedBufferLayout layout{format, 3, 2, 16, transform % 3 == 0};
            const Image fresh = *pictureFromBuffer(bytes.data(), bytes.size(), layout, transform);
            Image sameSize = fresh;
            std::fill(sameSize.pixels.begin(), sameSize.pixels.end(), std::uint8_t{0x5a});
            Image otherSize = Image::blank(4, 4);
            for (Image* over : {&sameSize, &otherSize}) {
                ASSERT_TRUE(pictureFromBuffer(bytes.data(), bytes.size(), layout, transform, *over));
                EXPECT_EQ((std::tuple{over->width, over->height, over->bytesPerRow}),
                          (std::tuple{fresh.width, fresh.height, fresh.bytesPerRow}))
                    << format << " " << transform;
                EXPECT_TRUE(over->pixels == fresh.pixels) << format << " " << transform;
            }
        }
    }
    // A copy that cannot be read leaves the picture as it was.
    Image kept = Image::blank(3, 2);
    EXPECT_FALSE(pictureFromBuffer(bytes.data(), bytes.size() - 1, {argb8888, 3, 2, 16, false}, 0, kept));
    EXPECT_TRUE(kept.pixels == Image::blank(3, 2).pixels);
}

TEST(WaylandPicture, CropAndNearestResample)
{
    const auto bytes = buffer();
    const Image image = *pictureFromBuffer(bytes.data(), bytes.size(), {argb8888, 3, 2, 16, false}, 0);
    const Image piece = cropped(image, {1, 1, 2, 1});
    EXPECT_EQ((std::pair{piece.width, piece.height}), (std::pair{2, 1}));
    EXPECT_EQ(blueAt(piece, 0, 0), 11);
    const Image bigger = resampledNearest(image, 6, 4);
    EXPECT_EQ(blueAt(bigger, 5, 3), 12);
    EXPECT_EQ(blueAt(bigger, 2, 1), 1);
}

} // namespace
