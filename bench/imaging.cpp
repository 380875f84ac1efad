// Times the picture pipeline's steps on a photo-like synthetic screen, each beside the
// baseline it is chosen over, measured in the same run. Medians of several runs.
//
//   imaging [runs]

#include "base/Base64.hpp"
#include "platform/linux/LinuxImaging.hpp"
#include "platform/linux/PNGWriter.hpp"

extern "C" {
#include <libswscale/swscale.h>
}
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

int runs = 9;

double medianMilliseconds(const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Times the work, then prints the figure with the note made from its result.
void row(const char* what, const std::function<void()>& work, const std::function<std::string()>& note = {})
{
    const double milliseconds = medianMilliseconds(work);
    std::printf("  %-52s %8.2f ms  %s\n", what, milliseconds, note ? note().c_str() : "");
}

std::string kilobytes(std::size_t bytes) { return std::to_string((bytes + 512) / 1024) + " KB"; }

// A desktop with a photograph on it: smooth colour fields with grain, a window with flat
// panels, and rows of dark glyph-like strokes on white.
Image syntheticScreen(int width, int height)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4;
    image.pixels.resize(image.bytesPerRow * static_cast<std::size_t>(height));
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

Image swscaleResize(const Image& image, int width, int height, int flags)
{
    Image result;
    result.width = width;
    result.height = height;
    result.bytesPerRow = static_cast<std::size_t>(width) * 4;
    result.pixels.resize(result.bytesPerRow * static_cast<std::size_t>(height));
    SwsContext* context = sws_getContext(
        image.width, image.height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
    const std::uint8_t* source[4] = { image.pixels.data() };
    const int sourceStride[4] = { static_cast<int>(image.bytesPerRow) };
    std::uint8_t* target[4] = { result.pixels.data() };
    const int targetStride[4] = { static_cast<int>(result.bytesPerRow) };
    sws_scale(context, source, sourceStride, 0, image.height, target, targetStride);
    sws_freeContext(context);
    return result;
}

Image nearest(const Image& image, int width, int height)
{
    Image result;
    result.width = width;
    result.height = height;
    result.bytesPerRow = static_cast<std::size_t>(width) * 4;
    result.pixels.resize(result.bytesPerRow * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = image.row(static_cast<int>(static_cast<long>(y) * image.height / height));
        std::uint8_t* target = result.row(y);
        for (int x = 0; x < width; ++x)
            std::copy_n(source + static_cast<long>(x) * image.width / width * 4, 4, target + x * 4);
    }
    return result;
}

// Mean and largest difference from the exact area average, over the colour bytes.
std::string errorAgainst(const Image& reference, const Image& image)
{
    double sum = 0;
    int largest = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        if (i % 4 == 3)
            continue;
        const int difference = std::abs(image.pixels[i] - reference.pixels[i]);
        sum += difference;
        largest = std::max(largest, difference);
        ++count;
    }
    char text[96];
    std::snprintf(text, sizeof text, "off the exact area average by %.2f on average, %d at most", sum / count, largest);
    return text;
}

std::vector<std::uint8_t> libpngDefaults(const Image& image)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* pixel = image.row(y) + x * 4;
            std::uint8_t* out = &rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
            out[0] = pixel[2];
            out[1] = pixel[1];
            out[2] = pixel[0];
        }
    png_image png {};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&png, nullptr, &size, 0, rgb.data(), 0, nullptr);
    std::vector<std::uint8_t> file(size);
    png_image_write_to_memory(&png, file.data(), &size, 0, rgb.data(), 0, nullptr);
    file.resize(size);
    return file;
}

std::string naiveBase64(const std::vector<std::uint8_t>& data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const std::uint8_t byte : data) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 63];
        }
    }
    if (count > 0)
        out += alphabet[(bits << (6 - count)) & 63];
    while (out.size() % 4)
        out += '=';
    return out;
}

}

int main(int argc, char** argv)
{
    if (argc > 1)
        runs = std::max(1, std::atoi(argv[1]));
    LinuxImaging imaging;
    std::printf("median of %d runs; a photo-like synthetic screen\n", runs);

    {
        const Image screen = syntheticScreen(2560, 1600);
        const int width = 1788, height = 1118;
        const Image exact = areaAverage(screen, width, height);
        Image ours;
        std::printf("\nresize 2560x1600 -> %dx%d, BGRA\n", width, height);
        row(
            "ours: two-pass area average", [&] { ours = imaging.resize(screen, width, height); },
            [&] { return errorAgainst(exact, ours); });
        Image other;
        row(
            "baseline: swscale area", [&] { other = swscaleResize(screen, width, height, SWS_AREA); },
            [&] { return errorAgainst(exact, other); });
        row(
            "baseline: swscale bicubic", [&] { other = swscaleResize(screen, width, height, SWS_BICUBIC); },
            [&] { return errorAgainst(exact, other); });
        row(
            "baseline: swscale fast bilinear", [&] { other = swscaleResize(screen, width, height, SWS_FAST_BILINEAR); },
            [&] { return errorAgainst(exact, other); });
        row(
            "baseline: nearest pixel (aliases)", [&] { other = nearest(screen, width, height); },
            [&] { return errorAgainst(exact, other); });
    }

    const Image screen = syntheticScreen(1920, 1080);
    {
        std::printf("\nblack-test thumbnail 1920x1080 -> 64x36\n");
        const Image exact = areaAverage(screen, 64, 36);
        row("ours: exact area average", [&] { imaging.thumbnail(screen, 64, 36); });
        Image other;
        row(
            "baseline: two-pass area average", [&] { other = imaging.resize(screen, 64, 36); },
            [&] { return errorAgainst(exact, other); });
        row(
            "baseline: swscale area", [&] { other = swscaleResize(screen, 64, 36, SWS_AREA); },
            [&] { return errorAgainst(exact, other); });
    }
    {
        std::printf("\nJPEG 1920x1080, quality 0.8 (80), 4:2:0\n");
        std::vector<std::uint8_t> file;
        row(
            "ours: TurboJPEG straight from BGRX", [&] { file = imaging.encodeJPEG(screen, 0.8); },
            [&] { return kilobytes(file.size()); });
        row(
            "baseline: copy to RGB, then TurboJPEG",
            [&] {
                std::vector<std::uint8_t> rgb(static_cast<std::size_t>(screen.width) * screen.height * 3);
                for (std::size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3) {
                    rgb[j] = screen.pixels[i + 2];
                    rgb[j + 1] = screen.pixels[i + 1];
                    rgb[j + 2] = screen.pixels[i];
                }
                tjhandle handle = tjInitCompress();
                unsigned char* buffer = nullptr;
                unsigned long size = 0;
                tjCompress2(
                    handle, rgb.data(), screen.width, 0, screen.height, TJPF_RGB, &buffer, &size, TJSAMP_420, 80, 0);
                file.assign(buffer, buffer + size);
                tjFree(buffer);
                tjDestroy(handle);
            },
            [&] { return kilobytes(file.size()); });
    }
    {
        std::printf("\nPNG 1920x1080, RGB\n");
        std::vector<std::uint8_t> file;
        for (const int level : { LinuxImaging::pngLevel, 3, 6 }) {
            const std::string what = "ours: Sub filter, libdeflate level " + std::to_string(level)
                + (level == LinuxImaging::pngLevel ? " (used)" : "");
            row(
                what.c_str(), [&] { file = writePNG(screen, level); }, [&] { return kilobytes(file.size()); });
        }
        row(
            "baseline: libpng defaults", [&] { file = libpngDefaults(screen); },
            [&] { return kilobytes(file.size()); });
    }
    {
        std::printf("\nBase64 of 1.5 MB\n");
        std::vector<std::uint8_t> data(1536 * 1024);
        std::mt19937 random(3);
        for (auto& byte : data)
            byte = static_cast<std::uint8_t>(random());
        std::string text;
        row(
            "ours: table, output grown once", [&] { text = base64(data.data(), data.size()); },
            [&] { return kilobytes(text.size()); });
        std::string naive;
        row(
            "baseline: bit queue, appended a character at a time", [&] { naive = naiveBase64(data); },
            [&] { return naive == text ? "same text" : "TEXTS DIFFER"; });
    }
    return 0;
}
