#include "SyntheticScreens.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

struct Colour {
    std::uint8_t red, green, blue;
};

void fill(Image& image, int left, int top, int right, int bottom, Colour colour)
{
    for (int y = std::max(0, top); y < std::min(image.height, bottom); ++y)
        for (int x = std::max(0, left); x < std::min(image.width, right); ++x) {
            std::uint8_t* pixel = image.row(y) + x * 4;
            pixel[0] = colour.blue;
            pixel[1] = colour.green;
            pixel[2] = colour.red;
            pixel[3] = 255;
        }
}

constexpr int cellWidth = 8, cellHeight = 16;
using Glyph = std::array<std::uint8_t, cellWidth * cellHeight>;

// Each glyph is two to four strokes with soft edges: coverage falls off over one pixel.
std::vector<Glyph> makeFont(std::mt19937& random)
{
    std::vector<Glyph> font(64);
    for (Glyph& glyph : font) {
        glyph.fill(0);
        const int strokes = 2 + static_cast<int>(random() % 3);
        for (int s = 0; s < strokes; ++s) {
            const double x0 = 1 + random() % 6, y0 = 3 + random() % 11, x1 = 1 + random() % 6, y1 = 3 + random() % 11;
            for (int step = 0; step <= 24; ++step) {
                const double t = step / 24.0, px = x0 + (x1 - x0) * t, py = y0 + (y1 - y0) * t;
                for (int y = 0; y < cellHeight; ++y)
                    for (int x = 0; x < cellWidth; ++x) {
                        const double distance = std::hypot(x + 0.5 - px, y + 0.5 - py);
                        const int coverage = static_cast<int>(255 * std::clamp(1.2 - distance, 0.0, 1.0));
                        std::uint8_t& cell = glyph[static_cast<std::size_t>(y * cellWidth + x)];
                        cell = static_cast<std::uint8_t>(std::max<int>(cell, coverage));
                    }
            }
        }
    }
    return font;
}

void drawGlyph(Image& image, const Glyph& glyph, int left, int top, Colour colour)
{
    for (int y = 0; y < cellHeight; ++y) {
        if (top + y < 0 || top + y >= image.height)
            continue;
        for (int x = 0; x < cellWidth; ++x) {
            if (left + x < 0 || left + x >= image.width)
                continue;
            const int coverage = glyph[static_cast<std::size_t>(y * cellWidth + x)];
            std::uint8_t* pixel = image.row(top + y) + (left + x) * 4;
            const auto blend = [&](std::uint8_t& channel, std::uint8_t ink) {
                channel = static_cast<std::uint8_t>((channel * (255 - coverage) + ink * coverage + 127) / 255);
            };
            blend(pixel[0], colour.blue);
            blend(pixel[1], colour.green);
            blend(pixel[2], colour.red);
        }
    }
}

// Rows of words from a small vocabulary in [left, right) x [top, bottom), one line every
// `lineHeight` pixels, each word in a colour chosen by `colourOf`.
template<typename ColourOf>
void drawText(Image& image, const std::vector<Glyph>& font, int left, int top, int right, int bottom, int lineHeight,
              std::mt19937& random, bool indented, ColourOf colourOf)
{
    std::vector<std::vector<int>> words(48);
    for (auto& word : words) {
        word.resize(2 + random() % 8);
        for (int& letter : word)
            letter = static_cast<int>(random() % font.size());
    }
    for (int y = top; y + cellHeight <= bottom; y += lineHeight) {
        int x = left + (indented ? static_cast<int>(random() % 4) * 4 * cellWidth : 0);
        const int end = left + static_cast<int>((right - left) * (0.4 + 0.6 * (random() % 100) / 100.0));
        if (random() % 9 == 0)
            continue; // a blank line
        while (true) {
            const std::size_t chosen = random() % words.size();
            const auto& word = words[chosen];
            if (x + static_cast<int>(word.size()) * cellWidth > end)
                break;
            const Colour colour = colourOf(chosen);
            for (const int letter : word) {
                drawGlyph(image, font[static_cast<std::size_t>(letter)], x, y, colour);
                x += cellWidth;
            }
            x += cellWidth;
        }
    }
}

} // namespace

Image photoLikeScreen(int width, int height)
{
    Image image = Image::blank(width, height);
    std::mt19937 random(20261210);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* pixel = image.row(y);
        for (int x = 0; x < width; ++x, pixel += 4) {
            const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
            double red = 120 + 90 * std::sin(6 * u + 2 * v) * std::cos(3 * v);
            double green = 110 + 70 * std::sin(4 * v + 9 * u * v);
            double blue = 140 + 80 * std::cos(5 * u - 3 * v);
            const double grain = static_cast<double>(random() % 13) - 6;
            red += grain;
            green += grain;
            blue += grain;
            const bool inWindow = u > 0.55 && u < 0.95 && v > 0.1 && v < 0.8;
            if (inWindow) {
                red = green = blue = v < 0.15 ? 225 : 250;
                const int line = (y - static_cast<int>(0.17 * height)) % 22;
                const bool glyph = line >= 4 && line < 16 && ((x * 7 + y / 22 * 13) % 11 < 2 || (x + line) % 9 == 0);
                if (v > 0.17 && glyph)
                    red = green = blue = 30;
            }
            pixel[0] = static_cast<std::uint8_t>(std::clamp(blue, 0.0, 255.0));
            pixel[1] = static_cast<std::uint8_t>(std::clamp(green, 0.0, 255.0));
            pixel[2] = static_cast<std::uint8_t>(std::clamp(red, 0.0, 255.0));
            pixel[3] = 255;
        }
    }
    return image;
}

Image textScreen(int width, int height)
{
    Image image = Image::blank(width, height);
    std::mt19937 random(1979);
    const std::vector<Glyph> font = makeFont(random);
    const int side = width / 8, split = width * 3 / 5;
    fill(image, 0, 0, width, height, {255, 255, 255});
    fill(image, 0, 0, width, 30, {44, 44, 44});
    fill(image, 0, 30, side, height, {243, 243, 243});
    fill(image, split, 30, split + 2, height, {232, 232, 232});
    fill(image, 0, height - 22, width, height, {0, 122, 204});

    const Colour ink{30, 30, 30}, keyword{0, 0, 192}, text{32, 33, 34}, link{6, 69, 173};
    drawText(image, font, 12, 40, side - 8, height - 30, 20, random, false, [&](std::size_t) { return ink; });
    drawText(image, font, side + 16, 40, split - 16, height - 30, 17, random, true,
             [&](std::size_t word) { return word % 5 == 0 ? keyword : word % 7 == 0 ? Colour{163, 21, 21} : ink; });
    // The page: paragraphs between grey boxes.
    for (int top = 60; top < height - 30; top += 260) {
        drawText(image, font, split + 24, top, width - 24, std::min(top + 170, height - 30), 22, random, false,
                 [&](std::size_t word) { return word % 11 == 0 ? link : text; });
        fill(image, split + 24, top + 180, width - 24, top + 240, {234, 236, 240});
    }
    return image;
}
