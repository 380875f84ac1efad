#include "platform/wayland/WaylandLayout.hpp"

#include <gtest/gtest.h>

namespace {

WaylandOutput output(std::uint32_t id, int x, int y, int width, int height, int modeWidth, int modeHeight,
                     int transform = 0)
{
    WaylandOutput out;
    out.id = id;
    out.x = x;
    out.y = y;
    out.width = width;
    out.height = height;
    out.modeWidth = modeWidth;
    out.modeHeight = modeHeight;
    out.transform = transform;
    return out;
}

TEST(WaylandLayout, TheMainDisplayIsTheOutputAtTheOriginElseTheFirst)
{
    const WaylandLayout atOrigin({output(7, 1920, 0, 1280, 800, 2560, 1600), output(9, 0, 0, 1920, 1080, 1920, 1080)});
    EXPECT_EQ(atOrigin.main()->id, 9u);
    EXPECT_EQ(atOrigin.bounds(atOrigin.outputs()[0]), (Rect{1920, 0, 1280, 800}));

    const WaylandLayout shifted({output(3, 100, 50, 800, 600, 800, 600), output(4, 900, 50, 800, 600, 800, 600)});
    EXPECT_EQ(shifted.main()->id, 3u);
    EXPECT_EQ(shifted.bounds(shifted.outputs()[1]), (Rect{800, 0, 800, 600}));
    EXPECT_EQ(WaylandLayout().main(), nullptr);
}

TEST(WaylandLayout, PixelScaleIsThePicturesWidthOverTheLogicalOne)
{
    const struct {
        WaylandOutput out;
        double scale;
    } cases[] = {
        {output(1, 0, 0, 1920, 1080, 1920, 1080), 1.0},
        {output(1, 0, 0, 960, 540, 1920, 1080), 2.0},
        {output(1, 0, 0, 1280, 720, 1920, 1080), 1.5},
        {output(1, 0, 0, 1536, 864, 1920, 1080), 1.25},
        // Turned a quarter: the picture is as wide as the mode is high.
        {output(1, 0, 0, 540, 960, 1920, 1080, 1), 2.0},
        {output(1, 0, 0, 0, 0, 1920, 1080), 1.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(WaylandLayout::pixelScale(c.out), c.scale) << c.out.width;
}

TEST(WaylandLayout, AWindowsPixelsAreCutWithSharedEdgesAtAnyScale)
{
    // Scale 1.5: two windows side by side share their edge pixel exactly.
    const WaylandLayout layout({output(1, 0, 0, 1280, 720, 1920, 1080)});
    const WaylandOutput& out = layout.outputs()[0];
    const PixelRect left = layout.pixelsOf(out, {0, 0, 640.5, 360});
    const PixelRect right = layout.pixelsOf(out, {640.5, 0, 639.5, 360});
    EXPECT_EQ(left, (PixelRect{0, 0, 961, 540}));
    EXPECT_EQ(right.x, left.x + left.width);
    EXPECT_EQ(right.x + right.width, 1920);
    // Integer scale, and a window half off the output is cut to it.
    const WaylandLayout two({output(1, 0, 0, 960, 540, 1920, 1080)});
    EXPECT_EQ(two.pixelsOf(two.outputs()[0], {100, 50, 200, 100}), (PixelRect{200, 100, 400, 200}));
    EXPECT_EQ(two.pixelsOf(two.outputs()[0], {-100, 500, 300, 100}), (PixelRect{0, 1000, 400, 80}));
}

TEST(WaylandLayout, AWindowBelongsToTheOutputShowingMostOfIt)
{
    const WaylandLayout layout({output(1, 0, 0, 1000, 800, 1000, 800), output(2, 1000, 0, 1000, 800, 2000, 1600)});
    EXPECT_EQ(layout.outputShowing({900, 0, 300, 100})->id, 2u);
    EXPECT_EQ(layout.outputShowing({700, 0, 400, 100})->id, 1u);
    EXPECT_EQ(layout.outputShowing({5000, 0, 100, 100}), nullptr);
}

TEST(WaylandLayout, PointerPositionsSpanTheLayoutAndStayInside)
{
    // The main output is not the left one: global points start at its corner.
    const WaylandLayout layout({output(1, 0, 0, 1000, 800, 1000, 800), output(2, -500, 0, 500, 400, 500, 400)});
    const PointerPosition corner = *layout.pointer({0, 0});
    EXPECT_EQ(corner, (PointerPosition{500 * 256, 0, 1500 * 256, 800 * 256}));
    EXPECT_EQ(layout.pointer({100.5, 20.25})->x, static_cast<std::uint32_t>(600.5 * 256));
    EXPECT_EQ(layout.pointer({-700, 5000})->x, 0u);
    EXPECT_EQ(layout.pointer({-700, 5000})->y, 800u * 256);
    EXPECT_FALSE(WaylandLayout().pointer({0, 0}));
}

} // namespace
