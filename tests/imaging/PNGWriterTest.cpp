// The PNG writer, read back by independent decoders (libpng for the pixels and every chunk's
// CRC; libdeflate's zlib reader for the stream's end and its Adler-32, which libpng does not
// check), over pictures chosen to reach every path of the compressor:
// runs, rows repeated from above (within a strip and across a strip's edge), hashed repeats,
// stored blocks, rows too long to be matched from above, and every edge of strips and blocks.

#include "BlankImage.hpp"
#include "imaging/Huffman.hpp"
#include "imaging/PNGWriter.hpp"
#include "imaging/StripCompressor.hpp"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void setPixel(Image& image, int x, int y, std::uint32_t rgb)
{
    std::uint8_t* pixel = image.row(y) + x * 4;
    pixel[0] = static_cast<std::uint8_t>(rgb);
    pixel[1] = static_cast<std::uint8_t>(rgb >> 8);
    pixel[2] = static_cast<std::uint8_t>(rgb >> 16);
}

enum class Content { flat, noise, text, repeatedRows, gradient, bands };

const char* name(Content content)
{
    switch (content) {
    case Content::flat: return "flat";
    case Content::noise: return "noise";
    case Content::text: return "text";
    case Content::repeatedRows: return "repeated rows";
    case Content::gradient: return "gradient";
    case Content::bands: return "bands";
    }
    return "?";
}

// Text: letters from a tiny alphabet of 6 x 9 glyphs, with grey edges, repeated along the
// lines as words repeat. Repeated rows: one noisy row over and over, so only the row above
// (or a hashed repeat, for long rows) matches. Bands: noise and flat areas by turns, so some
// blocks are stored and others coded.
Image picture(int width, int height, Content content, std::size_t padding = 0)
{
    Image image = blankImage(width, height, padding);
    std::mt19937 random(static_cast<unsigned>(width * 7919 + height * 31 + static_cast<int>(content)));
    std::vector<std::uint32_t> row(static_cast<std::size_t>(width));
    for (auto& value : row)
        value = random() & 0xffffff;
    std::vector<std::uint8_t> glyphs(5 * 6 * 9);
    for (auto& coverage : glyphs)
        coverage = std::array<std::uint8_t, 4>{0, 0, 128, 255}[random() % 4];
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint32_t rgb = 0x336699;
            switch (content) {
            case Content::flat: break;
            case Content::noise: rgb = random() & 0xffffff; break;
            case Content::repeatedRows: rgb = row[static_cast<std::size_t>(x)]; break;
            case Content::gradient:
                rgb = static_cast<std::uint32_t>((x * 3) & 255) << 16 | static_cast<std::uint32_t>((y * 5) & 255) << 8
                    | static_cast<std::uint32_t>((x + y) & 255);
                break;
            case Content::text: {
                const int glyph = ((x / 6) * 7 + (y / 12) * 3) % 5;
                const int gx = x % 6, gy = y % 12;
                const std::uint8_t ink = gy < 9 ? glyphs[static_cast<std::size_t>(glyph * 54 + gy * 6 + gx)] : 0;
                const std::uint32_t level = 255u - ink;
                rgb = level << 16 | level << 8 | level;
                break;
            }
            case Content::bands: rgb = (y / 7) % 2 ? random() & 0xffffff : 0xf0f0f0; break;
            }
            setPixel(image, x, y, rgb);
        }
    return image;
}

std::uint32_t bigEndian(const std::uint8_t* at)
{
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

// Every chunk has the right CRC (libpng checks those of the chunks it reads, but stops
// before IEND), the file ends with IEND, and the IDAT chunks' data joined make one zlib
// stream that ends exactly where they do, with the right Adler-32, holding every filtered row.
void expectChunksAndOneZlibStream(const std::vector<std::uint8_t>& file, const Image& image, const std::string& what)
{
    std::vector<std::uint8_t> stream;
    std::string last;
    for (std::size_t at = 8; at < file.size();) {
        ASSERT_LE(at + 12, file.size()) << what;
        const std::size_t length = bigEndian(&file[at]);
        ASSERT_LE(at + 12 + length, file.size()) << what;
        last.assign(&file[at + 4], &file[at + 8]);
        EXPECT_EQ(libdeflate_crc32(0, &file[at + 4], length + 4), bigEndian(&file[at + 8 + length]))
            << what << " " << last;
        if (last == "IDAT")
            stream.insert(stream.end(), &file[at + 8], &file[at + 8] + length);
        at += 12 + length;
    }
    EXPECT_EQ(last, "IEND") << what;
    const std::size_t rowLength = 1 + 3 * static_cast<std::size_t>(image.width);
    const std::size_t filtered = static_cast<std::size_t>(image.height) * rowLength;
    std::vector<std::uint8_t> out(filtered + 1);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::size_t read = 0, written = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(decompressor, stream.data(), stream.size(),
                                                                   out.data(), out.size(), &read, &written);
    libdeflate_free_decompressor(decompressor);
    ASSERT_EQ(result, LIBDEFLATE_SUCCESS) << what;
    EXPECT_EQ(read, stream.size()) << what;
    EXPECT_EQ(written, filtered) << what;
}

// libpng reads back exactly the picture's RGB, or the test fails with what differs.
void expectDecodesExactly(const std::vector<std::uint8_t>& file, const Image& image, const std::string& what)
{
    expectChunksAndOneZlibStream(file, image, what);
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&png, file.data(), file.size())) << what << ": " << png.message;
    ASSERT_EQ(png.format, static_cast<png_uint_32>(PNG_FORMAT_RGB)) << what;
    ASSERT_EQ(png.width, static_cast<png_uint_32>(image.width)) << what;
    ASSERT_EQ(png.height, static_cast<png_uint_32>(image.height)) << what;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) << what << ": " << png.message;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* pixel = image.row(y) + x * 4;
            const std::uint8_t* decoded = &rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
            ASSERT_TRUE(decoded[0] == pixel[2] && decoded[1] == pixel[1] && decoded[2] == pixel[0])
                << what << " at " << x << "," << y;
        }
}

// The row counts at which the writer starts a new strip and a new Huffman block.
std::size_t rowsPerStrip(int width)
{
    return std::max<std::size_t>(1, pngStripBytes / (1 + 3 * static_cast<std::size_t>(width)));
}

std::size_t rowsPerBlock(int width)
{
    return std::max<std::size_t>(1, StripCompressor::blockBytes / (1 + 3 * static_cast<std::size_t>(width)));
}

} // namespace

TEST(PNGWriter, EveryPictureDecodesExactlyWhateverTheThreads)
{
    struct Case {
        int width, height;
        Content content;
        std::size_t padding;
    };
    std::vector<Case> cases = {
        {1, 1, Content::flat, 0}, {1, 1, Content::noise, 4}, {2, 1, Content::noise, 0}, {1, 2, Content::gradient, 0},
        {3, 2, Content::noise, 0}, {7, 5, Content::text, 12}, {257, 13, Content::noise, 12}, {1, 40, Content::noise, 4},
        {640, 1, Content::gradient, 0}, {333, 257, Content::text, 0}, {333, 257, Content::repeatedRows, 8},
        {1920, 120, Content::bands, 0}, {1000, 100, Content::gradient, 0},
        // Rows of 30,001 and 36,001 bytes: one just close enough to be matched from above, one
        // too far, so that only hashed repeats within 32 KB can find it.
        {10000, 6, Content::repeatedRows, 0}, {12000, 6, Content::repeatedRows, 0}, {12000, 4, Content::text, 0},
        // Noise in blocks of more than 64 KB: stored in several pieces.
        {1000, 60, Content::noise, 0},
    };
    // A strip or a block full, one row short of it and one row past it, for a width whose
    // rows fill neither evenly; strips a row above the last cross their edge.
    const int width = 1000;
    for (const std::size_t rows : {rowsPerBlock(width), rowsPerStrip(width)})
        for (const std::size_t height : {rows - 1, rows, rows + 1, 2 * rows, 2 * rows + 1})
            for (const Content content : {Content::repeatedRows, Content::text, Content::noise})
                cases.push_back({width, static_cast<int>(height), content, 0});

    for (const Case& c : cases) {
        const Image image = picture(c.width, c.height, c.content, c.padding);
        const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + " " + name(c.content);
        const std::vector<std::uint8_t> file = writePNG(image, 1);
        expectDecodesExactly(file, image, what);
        // Strips are joined in order whoever made them: the bytes are the same.
        EXPECT_EQ(writePNG(image, 3), file) << what;
    }
}

TEST(PNGWriter, RepeatsShrinkTheFileAndNoiseDoesNotGrowIt)
{
    // A flat screen is runs only, a screen of one noisy row repeated is rows from above only
    // (a 258-byte match costs a dozen bits at that distance): both must come out tiny. Noise
    // cannot shrink, and stored blocks keep it from growing.
    const auto rawSize = [](int width, int height) { return static_cast<std::size_t>(height) * (1 + 3 * width); };
    EXPECT_LT(writePNG(picture(1920, 1080, Content::flat), 2).size(), 20'000u);
    EXPECT_LT(writePNG(picture(1920, 1080, Content::repeatedRows), 2).size(), rawSize(1920, 1080) / 100);
    EXPECT_LT(writePNG(picture(1920, 1080, Content::text), 2).size(), rawSize(1920, 1080) / 20);
    const std::size_t noise = writePNG(picture(1920, 1080, Content::noise), 2).size();
    EXPECT_LE(noise, rawSize(1920, 1080) + rawSize(1920, 1080) / 1000);
}

TEST(PNGWriter, RefusesAnEmptyPicture)
{
    EXPECT_THROW(writePNG(blankImage(0, 5), 1), std::runtime_error);
    EXPECT_THROW(writePNG(blankImage(5, 0), 2), std::runtime_error);
}

namespace {

// Whether the lengths make a complete prefix code: the Kraft sum is exactly 1.
bool complete(const std::vector<std::uint8_t>& lengths, int limit)
{
    std::uint64_t sum = 0;
    for (const std::uint8_t length : lengths)
        if (length != 0)
            sum += std::uint64_t{1} << (limit - length);
    return sum == std::uint64_t{1} << limit;
}

} // namespace

TEST(Huffman, CodesAreCompleteAndWithinTheLimit)
{
    // Frequencies like the Fibonacci numbers make the deepest tree there is: 29 levels for 30
    // symbols unless limited. The decoder refuses incomplete codes, so every code must be full.
    std::vector<std::uint32_t> fibonacci(30);
    fibonacci[0] = fibonacci[1] = 1;
    for (std::size_t i = 2; i < fibonacci.size(); ++i)
        fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
    std::vector<std::uint32_t> skewed(286, 0);
    for (std::size_t i = 0; i < skewed.size(); i += 3)
        skewed[i] = i < 20 ? 1'000'000u : 1u;
    std::vector<std::uint32_t> lengthCode(19, 0);
    for (std::size_t i = 0; i < lengthCode.size(); ++i)
        lengthCode[i] = 1u << i;

    for (const auto& [frequencies, limit] : {std::pair{fibonacci, 15}, {fibonacci, 7}, {skewed, 15}, {lengthCode, 7}}) {
        std::vector<std::uint8_t> lengths(frequencies.size());
        huffmanLengths(frequencies, limit, lengths);
        EXPECT_TRUE(complete(lengths, limit));
        for (std::size_t s = 0; s < lengths.size(); ++s) {
            EXPECT_LE(lengths[s], limit);
            EXPECT_EQ(lengths[s] != 0, frequencies[s] != 0) << "symbol " << s;
        }
    }

    // One symbol or none: two one-bit codes, still complete.
    std::vector<std::uint32_t> one(30, 0);
    one[7] = 5;
    std::vector<std::uint8_t> lengths(30);
    huffmanLengths(one, 15, lengths);
    EXPECT_EQ(lengths[7], 1);
    EXPECT_TRUE(complete(lengths, 15));
    huffmanLengths(std::vector<std::uint32_t>(30, 0), 15, lengths);
    EXPECT_TRUE(complete(lengths, 15));
}

TEST(Huffman, CanonicalCodesAreAssignedInOrderOfLengthThenSymbol)
{
    // The example of the deflate format's description: lengths (3, 3, 3, 3, 3, 2, 4, 4)
    // give 010, 011, 100, 101, 110, 00, 1110, 1111, here with their bits reversed.
    const std::vector<std::uint8_t> lengths = {3, 3, 3, 3, 3, 2, 4, 4};
    std::vector<std::uint16_t> codes(lengths.size());
    canonicalCodes(lengths, codes);
    EXPECT_EQ(codes, (std::vector<std::uint16_t>{0b010, 0b110, 0b001, 0b101, 0b011, 0b00, 0b0111, 0b1111}));
}
