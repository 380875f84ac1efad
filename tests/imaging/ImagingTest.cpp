#include "platform/linux/LinuxImaging.hpp"

#include "BlankImage.hpp"
#include "base/PlatformError.hpp"
#include "platform/fake/FakeImaging.hpp"
#include "imaging/AreaShrink.hpp"
#include "imaging/JPEGWriter.hpp"
#include "imaging/Parallel.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

void setPixel(Image& image, int x, int y, std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    std::uint8_t* pixel = image.row(y) + x * 4;
    pixel[0] = blue;
    pixel[1] = green;
    pixel[2] = red;
    pixel[3] = 255;
}

Image filled(int width, int height, std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    Image image = blankImage(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            setPixel(image, x, y, red, green, blue);
    return image;
}

Image noise(int width, int height, std::size_t padding, unsigned seed)
{
    Image image = blankImage(width, height, padding);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            setPixel(image, x, y, random() & 255, random() & 255, random() & 255);
    return image;
}

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    const std::uint8_t* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

// libpng checks the signature, every CRC and the zlib stream while reading.
Decoded decodePNG(const std::vector<std::uint8_t>& file, png_uint_32* colourType = nullptr)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
        throw std::runtime_error(image.message);
    if (colourType)
        *colourType = image.format;
    image.format = PNG_FORMAT_RGB;
    Decoded decoded{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr))
        throw std::runtime_error(image.message);
    return decoded;
}

Decoded decodeJPEG(const std::vector<std::uint8_t>& file)
{
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle, file.data(), file.size(), &width, &height, &subsampling, &colourspace) != 0) {
        tjDestroy(handle);
        throw std::runtime_error("not a JPEG");
    }
    Decoded decoded{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    const int status = tjDecompress2(handle, file.data(), file.size(), decoded.rgb.data(), width, 0, height, TJPF_RGB, 0);
    tjDestroy(handle);
    if (status != 0)
        throw std::runtime_error("JPEG did not decode");
    return decoded;
}

}

TEST(LinuxImaging, PNGIsLosslessRGBInTheRightChannelOrder)
{
    LinuxImaging imaging;
    Image red = blankImage(1, 1);
    setPixel(red, 0, 0, 255, 0, 0);
    png_uint_32 format = 0;
    const Decoded one = decodePNG(imaging.encodePNG(red), &format);
    EXPECT_EQ(format, PNG_FORMAT_RGB); // colour type 2: no alpha channel
    ASSERT_EQ(one.rgb, (std::vector<std::uint8_t>{255, 0, 0}));

    // Odd sizes, padded rows and every byte value, so that the Sub filter's wrap-around and
    // the row stride both show when wrong.
    for (const auto& [width, height, padding] : {std::tuple{3, 2, 0u}, {257, 13, 12u}, {1, 40, 4u}, {640, 1, 0u}}) {
        const Image source = noise(width, height, padding, static_cast<unsigned>(width * 31 + height));
        const Decoded decoded = decodePNG(imaging.encodePNG(source));
        ASSERT_EQ(decoded.width, width);
        ASSERT_EQ(decoded.height, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* bgra = source.row(y) + x * 4;
                const std::uint8_t* rgb = decoded.at(x, y);
                ASSERT_TRUE(rgb[0] == bgra[2] && rgb[1] == bgra[1] && rgb[2] == bgra[0])
                    << width << "x" << height << " at " << x << "," << y;
            }
    }
}

TEST(LinuxImaging, JPEGDecodesWithTheRightColoursAndQualityIsClamped)
{
    LinuxImaging imaging;
    Image image = blankImage(64, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            x < 32 ? setPixel(image, x, y, 255, 0, 0) : setPixel(image, x, y, 0, 0, 255);
    const auto file = imaging.encodeJPEG(image, 0.8);
    const Decoded decoded = decodeJPEG(file);
    ASSERT_EQ(decoded.width, 64);
    ASSERT_EQ(decoded.height, 32);
    const std::uint8_t* red = decoded.at(8, 16);
    const std::uint8_t* blue = decoded.at(56, 16);
    EXPECT_GT(red[0], 235);
    EXPECT_LT(red[1], 20);
    EXPECT_LT(red[2], 20);
    EXPECT_LT(blue[0], 20);
    EXPECT_LT(blue[1], 20);
    EXPECT_GT(blue[2], 235);

    const Image busy = noise(96, 64, 0, 7);
    const auto low = imaging.encodeJPEG(busy, 0.3);
    const auto high = imaging.encodeJPEG(busy, 1.0);
    EXPECT_LT(low.size(), imaging.encodeJPEG(busy, 0.6).size());
    EXPECT_LT(imaging.encodeJPEG(busy, 0.6).size(), high.size());
    EXPECT_EQ(imaging.encodeJPEG(busy, 0.1), low);
    EXPECT_EQ(imaging.encodeJPEG(busy, std::nan("")), low);
    EXPECT_EQ(imaging.encodeJPEG(busy, 2.5), high);
}

TEST(LinuxImaging, ResizeGivesTheExactSizeWithoutColourShift)
{
    LinuxImaging imaging;
    const Image red = filled(2560, 1600, 255, 0, 0);
    // At ratios of hundreds to one the scaler's fixed-point weights may lose one step.
    for (const auto& [width, height, tolerance] :
         {std::tuple{1788, 1118, 0}, {64, 36, 0}, {3000, 2000, 0}, {2560, 100, 0}, {7, 3000, 1}}) {
        const Image resized = imaging.resize(red, width, height);
        ASSERT_EQ(resized.width, width);
        ASSERT_EQ(resized.height, height);
        ASSERT_GE(resized.bytesPerRow, static_cast<std::size_t>(width) * 4);
        for (const auto& [x, y] : {std::pair{0, 0}, {width / 2, height / 2}, {width - 1, height - 1}}) {
            const std::uint8_t* pixel = resized.row(y) + x * 4;
            EXPECT_GE(pixel[2], 255 - tolerance) << width << "x" << height;
            EXPECT_LE(pixel[1], tolerance) << width << "x" << height;
            EXPECT_LE(pixel[0], tolerance) << width << "x" << height;
        }
    }
}

TEST(LinuxImaging, ShrinkingFineStripesGivesGreyNotMoire)
{
    // One-pixel black and white columns, the worst case for text: point sampling at a
    // ratio of 0.7 would give runs of pure black and pure white.
    LinuxImaging imaging;
    Image stripes = blankImage(2560, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 2560; ++x)
            setPixel(stripes, x, y, x % 2 ? 255 : 0, x % 2 ? 255 : 0, x % 2 ? 255 : 0);
    const Image resized = imaging.resize(stripes, 1788, 45);
    int darkest = 255, lightest = 0;
    for (int x = 2; x < 1786; ++x) {
        const int value = resized.row(20)[x * 4 + 1];
        darkest = std::min(darkest, value);
        lightest = std::max(lightest, value);
    }
    EXPECT_GT(darkest, 64);
    EXPECT_LT(lightest, 192);
}

TEST(LinuxImaging, RefusesWhatItCannotDo)
{
    LinuxImaging imaging;
    const Image empty;
    EXPECT_THROW(imaging.resize(empty, 10, 10), PlatformError);
    EXPECT_THROW(imaging.encodePNG(empty), PlatformError);
    EXPECT_THROW(imaging.encodeJPEG(empty, 0.8), PlatformError);
    EXPECT_THROW(imaging.thumbnail(empty, 64, 36), PlatformError);
    const Image small = filled(4, 4, 1, 2, 3);
    EXPECT_THROW(imaging.resize(small, 0, 10), PlatformError);
    EXPECT_THROW(imaging.thumbnail(small, 64, 0), PlatformError);
    EXPECT_THROW(imaging.resize(small, 20'000, 20'000), PlatformError);
    Image truncated = filled(4, 4, 1, 2, 3);
    truncated.pixels.resize(20);
    EXPECT_THROW(imaging.encodePNG(truncated), PlatformError);
}

TEST(LinuxImaging, ThumbnailIsTheAreaAverage)
{
    LinuxImaging imaging;
    // Three source pixels onto two: each output pixel covers one and a half.
    Image row = blankImage(3, 1);
    setPixel(row, 0, 0, 0, 0, 0);
    setPixel(row, 1, 0, 90, 90, 90);
    setPixel(row, 2, 0, 180, 180, 180);
    const Image two = imaging.thumbnail(row, 2, 1);
    EXPECT_EQ(two.pixels[2], 30);  // (0 + 90 / 2) / 1.5
    EXPECT_EQ(two.pixels[6], 150); // (90 / 2 + 180) / 1.5

    // Against the definition in doubles, for sizes that share no factor with 64 x 36 and for
    // enlarging; rounding may differ by one.
    FakeImaging reference;
    for (const auto& [width, height] : {std::pair{1921, 1079}, {100, 7}, {20, 50}, {1, 1}}) {
        const Image source = noise(width, height, 8, static_cast<unsigned>(width + height));
        const Image fast = imaging.thumbnail(source, 64, 36);
        const Image exact = reference.thumbnail(source, 64, 36);
        ASSERT_EQ(fast.pixels.size(), exact.pixels.size());
        for (std::size_t i = 0; i < fast.pixels.size(); ++i)
            ASSERT_LE(std::abs(fast.pixels[i] - exact.pixels[i]), 1) << width << "x" << height << " byte " << i;
    }
}

namespace {

// The exact average of the source area each output pixel covers, as a real number. Along
// each axis a source pixel is `output` units long and an output pixel `source` units, so
// every overlap is a whole number and the sums are exact.
std::vector<double> exactAverages(const Image& image, int width, int height)
{
    const auto overlaps = [](int source, int output) {
        std::vector<std::vector<std::pair<int, std::uint64_t>>> result(static_cast<std::size_t>(source));
        for (std::uint64_t s = 0; s < static_cast<std::uint64_t>(source); ++s) {
            const std::uint64_t begin = s * output, end = begin + output;
            for (std::uint64_t o = begin / source; o < static_cast<std::uint64_t>(output) && o * source < end; ++o)
                result[s].push_back({static_cast<int>(o), std::min(end, (o + 1) * source) - std::max(begin, o * source)});
        }
        return result;
    };
    const auto columns = overlaps(image.width, width);
    const auto rows = overlaps(image.height, height);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < image.height; ++y)
        for (const auto& [outY, weightY] : rows[static_cast<std::size_t>(y)])
            for (int x = 0; x < image.width; ++x)
                for (const auto& [outX, weightX] : columns[static_cast<std::size_t>(x)])
                    for (int channel = 0; channel < 4; ++channel)
                        sums[(static_cast<std::size_t>(outY) * width + outX) * 4 + channel] +=
                            weightY * weightX * image.row(y)[x * 4 + channel];
    const double area = static_cast<double>(image.width) * image.height;
    std::vector<double> averages(sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i)
        averages[i] = static_cast<double>(sums[i]) / area;
    return averages;
}

// Blue a fine checkerboard of black and white, the worst case for weights that drift;
// green noise; red one dark grey; alpha opaque.
Image testPattern(int width, int height, std::size_t padding, unsigned seed)
{
    Image image = blankImage(width, height, padding);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            setPixel(image, x, y, 0x30, random() & 255, (x + y) % 2 ? 255 : 0);
    return image;
}

} // namespace

TEST(LinuxImaging, ShrinkingIsTheExactAverageAtEveryRatio)
{
    // Every shrink must be the exact area average rounded: at the ratios the budget gives
    // (just under 1), at sizes that share no factor, and where one new pixel takes a whole
    // screen's width or height: 1, 2, 3, 5 and 7 pixels from every common width and height.
    struct Case {
        int sourceWidth, sourceHeight, width, height;
    };
    std::vector<Case> cases = {
        {1920, 1080, 1885, 1060}, {2560, 1600, 1788, 1118}, {333, 257, 97, 13}, {1000, 40, 3, 40},
        {40, 1000, 40, 3}, {5, 5, 1, 1}, {3, 2, 2, 1}, {2, 9, 1, 9}, {1920, 1080, 1, 1}, {1920, 1080, 5, 3},
        {3840, 2160, 7, 5}, {5120, 2880, 2, 1}, {1366, 768, 7, 3},
    };
    const int widths[] = {640, 800, 1024, 1280, 1366, 1440, 1536, 1600, 1680, 1920, 2048, 2560, 2880, 3440, 3840, 5120, 7680};
    const int heights[] = {480, 600, 720, 768, 800, 864, 900, 960, 1024, 1050, 1080, 1200, 1440, 1600, 2160, 2880, 4320};
    for (const int target : {1, 2, 3, 5, 7}) {
        for (const int width : widths)
            cases.push_back({width, 3, target, target % 3 + 1});
        for (const int height : heights)
            cases.push_back({3, height, target % 3 + 1, target});
    }
    LinuxImaging imaging;
    for (const auto& c : cases) {
        const Image source = testPattern(c.sourceWidth, c.sourceHeight, 12, static_cast<unsigned>(c.width * 31 + c.height));
        const Image shrunk = imaging.resize(source, c.width, c.height);
        ASSERT_EQ(shrunk.width, c.width);
        ASSERT_EQ(shrunk.height, c.height);
        const std::vector<double> exact = exactAverages(source, c.width, c.height);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width * 4; ++x)
                ASSERT_LE(std::abs(shrunk.row(y)[x] - exact[static_cast<std::size_t>(y) * c.width * 4 + x]), 0.5 + 1e-3)
                    << c.sourceWidth << "x" << c.sourceHeight << " to " << c.width << "x" << c.height << " at " << x / 4
                    << "," << y << " channel " << x % 4;
    }
}

TEST(LinuxImaging, ShrinkingGivesTheSameBytesOnAnyNumberOfThreads)
{
    // Bands of rows are shared out as threads come free: the bytes must not depend on it.
    for (const auto& [width, height] : {std::pair{1885, 1060}, {64, 36}, {7, 1000}}) {
        const Image source = testPattern(1920, 1080, 4, static_cast<unsigned>(width));
        const Image alone = areaShrink(source, width, height, 1);
        EXPECT_EQ(areaShrink(source, width, height, 3).pixels, alone.pixels) << width << "x" << height;
    }
}

TEST(Parallel, EveryThreadRunsAndTheFirstFailureArrivesAfterAllHaveFinished)
{
    EXPECT_GE(usableCores(), 1u);
    std::atomic<int> started{0}, finished{0};
    std::atomic<std::size_t> next{0};
    std::vector<std::atomic<int>> done(1000);
    EXPECT_THROW(runOnThreads(4,
                              [&] {
                                  const int me = started++;
                                  for (std::size_t part; (part = next++) < done.size();)
                                      ++done[part];
                                  ++finished;
                                  if (me == 0)
                                      throw std::runtime_error("the first thread failed");
                              }),
                 std::runtime_error);
    EXPECT_EQ(started, 4);
    EXPECT_EQ(finished, 4);
    for (const auto& part : done)
        ASSERT_EQ(part, 1);
}

TEST(Parallel, JobsFollowingEachOtherAndCallersAtOnceEachGetAllTheirWorkDone)
{
    // The helpers are kept between jobs: a job must neither miss its parts nor see another
    // job's, whether it comes right after the last one, after the helpers slept, or while
    // another caller has them.
    const auto caller = [](int jobs, std::atomic<int>& wrong) {
        for (int job = 0; job < jobs; ++job) {
            std::atomic<std::size_t> next{0};
            std::vector<std::atomic<int>> done(64);
            runOnThreads(job % 3 + 1, [&] {
                for (std::size_t part; (part = next++) < done.size();)
                    ++done[part];
            });
            for (const auto& part : done)
                wrong += part != 1;
            if (job == jobs / 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    std::atomic<int> wrong{0};
    std::thread other([&] { caller(300, wrong); });
    caller(300, wrong);
    other.join();
    EXPECT_EQ(wrong, 0);
}

namespace {

// The plain encoding the banded one must match: one TurboJPEG call over the whole picture.
std::vector<std::uint8_t> singlePassJPEG(const Image& image, int quality)
{
    tjhandle handle = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int status = tjCompress2(handle, image.pixels.data(), image.width, static_cast<int>(image.bytesPerRow),
                                   image.height, TJPF_BGRX, &buffer, &size, TJSAMP_420, quality, 0);
    tjDestroy(handle);
    std::vector<std::uint8_t> file(buffer, buffer + size);
    tjFree(buffer);
    if (status != 0)
        throw std::runtime_error("TurboJPEG failed");
    return file;
}

} // namespace

TEST(LinuxImaging, JPEGInBandsDecodesToTheSinglePassPixels)
{
    // Heights about one band and two, one row either side, and one MCU row short of a band;
    // widths that fill no MCU evenly; a budgeted full screen; padded rows.
    struct Case {
        int width, height;
        std::size_t padding;
    };
    const int band = jpegBandRows;
    const std::vector<Case> cases = {{1, 1, 0},           {17, 15, 4},          {33, band - 1, 0}, {33, band, 0},
                                     {33, band + 1, 8},   {100, 2 * band, 0},   {100, 2 * band + 17, 0},
                                     {5, band - 16, 0},   {1885, 1060, 0},      {640, 9 * band + 3, 12}};
    for (const auto& c : cases) {
        const Image image = testPattern(c.width, c.height, c.padding, static_cast<unsigned>(c.width + c.height));
        const std::vector<std::uint8_t> file = writeJPEG(image, 80, 1);
        const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height);
        const Decoded banded = decodeJPEG(file);
        const Decoded single = decodeJPEG(singlePassJPEG(image, 80));
        ASSERT_EQ(banded.width, c.width) << what;
        ASSERT_EQ(banded.height, c.height) << what;
        EXPECT_TRUE(banded.rgb == single.rgb) << what;
        EXPECT_EQ(writeJPEG(image, 80, 3), file) << what;
        // A restart marker between two bands, none inside one.
        int restarts = 0;
        for (std::size_t i = 0; i + 1 < file.size(); ++i)
            restarts += file[i] == 0xff && file[i + 1] >= 0xd0 && file[i + 1] <= 0xd7;
        EXPECT_EQ(restarts, (c.height + band - 1) / band - 1) << what;
    }
}
