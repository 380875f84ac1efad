// Times the picture pipeline's steps on synthetic screens, each beside the baseline it is
// chosen over, measured in the same run. Medians of several runs. Work spread over cores is
// also timed on one core; on a busy machine compare within a run, not across runs.
//
//   imaging [runs]

#include "SyntheticScreens.hpp"

#include "base/Base64.hpp"
#include "imaging/AreaShrink.hpp"
#include "imaging/JPEGWriter.hpp"
#include "platform/linux/LinuxImaging.hpp"
#include "imaging/PNGWriter.hpp"
#include "imaging/Parallel.hpp"
#include "imaging/Resample.hpp"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libdeflate.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
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

// Mean and largest difference between two pictures, over the colour bytes.
std::pair<double, int> differences(const Image& reference, const Image& image)
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
    return {sum / count, largest};
}

std::string errorAgainst(const Image& exact, const Image& image)
{
    const auto [mean, largest] = differences(exact, image);
    char text[96];
    std::snprintf(text, sizeof text, "off the exact area average by %.2f on average, %d at most", mean, largest);
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

// The writer this program had before: every row Sub-filtered into one buffer, then one
// libdeflate call on one core.
std::vector<std::uint8_t> previousPNGWriter(const Image& image, int level)
{
    const std::size_t rowLength = 1 + static_cast<std::size_t>(image.width) * 3;
    std::vector<std::uint8_t> filtered(rowLength * static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        std::uint8_t* out = &filtered[rowLength * static_cast<std::size_t>(y)];
        *out++ = 1;
        const std::uint8_t* pixel = image.row(y);
        for (int x = 0; x < image.width; ++x, pixel += 4, out += 3) {
            out[0] = static_cast<std::uint8_t>(pixel[2] - (x > 0 ? pixel[-2] : 0));
            out[1] = static_cast<std::uint8_t>(pixel[1] - (x > 0 ? pixel[-3] : 0));
            out[2] = static_cast<std::uint8_t>(pixel[0] - (x > 0 ? pixel[-4] : 0));
        }
    }
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    std::vector<std::uint8_t> compressed(libdeflate_zlib_compress_bound(compressor, filtered.size()));
    compressed.resize(libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), compressed.data(),
                                               compressed.size()));
    libdeflate_free_compressor(compressor);
    // Only the size and the time matter here: the chunks around the stream add 57 bytes.
    compressed.resize(compressed.size() + 57);
    return compressed;
}

// Whether libpng reads the file back as exactly the picture's RGB.
bool decodesExactly(const std::vector<std::uint8_t>& file, const Image& image)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, file.data(), file.size()))
        return false;
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr))
        return false;
    if (png.width != static_cast<png_uint_32>(image.width) || png.height != static_cast<png_uint_32>(image.height))
        return false;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* pixel = image.row(y) + x * 4;
            const std::uint8_t* decoded = &rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
            if (decoded[0] != pixel[2] || decoded[1] != pixel[1] || decoded[2] != pixel[0])
                return false;
        }
    return true;
}

void pngSection(const char* name, const Image& screen, std::size_t cores)
{
    std::vector<std::uint8_t> reference = libpngDefaults(screen);
    const auto relative = [&](const std::vector<std::uint8_t>& file) {
        char text[64];
        std::snprintf(text, sizeof text, " (%.2fx libpng's)", static_cast<double>(file.size()) / reference.size());
        return kilobytes(file.size()) + text;
    };
    std::printf("\nPNG %dx%d of the %s, RGB\n", screen.width, screen.height, name);
    std::vector<std::uint8_t> file;
    const std::string ours = "ours: strips on " + std::to_string(cores) + " cores";
    row(
        ours.c_str(), [&] { file = writePNG(screen, cores); },
        [&] { return relative(file) + (decodesExactly(file, screen) ? ", decodes exactly" : ", DOES NOT DECODE"); });
    row("ours: strips on one core", [&] { file = writePNG(screen, 1); }, [&] { return relative(file); });
    row(
        "baseline: previous writer, Sub + libdeflate 1, one core", [&] { file = previousPNGWriter(screen, 1); },
        [&] { return relative(file); });
    row("baseline: libpng defaults", [&] { file = libpngDefaults(screen); }, [&] { return relative(file); });
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
    const std::size_t cores = usableCores();
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    std::printf("median of %d runs on %zu usable cores; load average %s\n", runs, cores, load.c_str());

    {
        const Image screen = photoLikeScreen(2560, 1600);
        const int width = 1788, height = 1118;
        const Image exact = areaAverage(screen, width, height);
        Image ours;
        std::printf("\nresize 2560x1600 -> %dx%d of the photo-like screen, BGRA\n", width, height);
        const std::string onCores = "ours: two-pass area average on " + std::to_string(cores) + " cores";
        row(
            onCores.c_str(), [&] { ours = imaging.resize(screen, width, height); },
            [&] { return errorAgainst(exact, ours); });
        row(
            "ours: two-pass area average on one core", [&] { ours = areaShrink(screen, width, height, 1); },
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

    const Image screen = photoLikeScreen(1920, 1080);
    {
        // Rare (a budget larger than the screen), but the path that used to need the general
        // scaler, whose exact settings are the baseline.
        const int width = 2560, height = 1600;
        std::printf("\nresize 1920x1080 -> %dx%d of the photo-like screen (enlarging), BGRA\n", width, height);
        Image ours, other;
        const std::string onCores = "ours: two-pass bicubic on " + std::to_string(cores) + " cores";
        row(onCores.c_str(), [&] { ours = imaging.resize(screen, width, height); });
        row("ours: two-pass bicubic on one core", [&] { ours = resizeEnlarging(screen, width, height, 1); });
        row(
            "baseline: swscale bicubic (the previous path)",
            [&] {
                other = swscaleResize(screen, width, height,
                                      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP);
            },
            [&] {
                const auto [mean, largest] = differences(other, ours);
                char text[96];
                std::snprintf(text, sizeof text, "ours differs by %.2f on average, %d at most", mean, largest);
                return std::string(text);
            });
    }
    {
        std::printf("\nblack-test thumbnail 1920x1080 -> 64x36\n");
        const Image exact = areaAverage(screen, 64, 36);
        Image ours;
        row(
            "ours: two-pass area average", [&] { ours = imaging.thumbnail(screen, 64, 36); },
            [&] { return errorAgainst(exact, ours); });
        Image other;
        row("baseline: one-pass area average", [&] { other = areaAverage(screen, 64, 36); });
        row(
            "baseline: swscale area", [&] { other = swscaleResize(screen, 64, 36, SWS_AREA); },
            [&] { return errorAgainst(exact, other); });
    }
    {
        std::printf("\nJPEG 1920x1080, quality 0.8 (80), 4:2:0\n");
        std::vector<std::uint8_t> file;
        const std::string onCores = "ours: bands from BGRX on " + std::to_string(cores) + " cores";
        row(onCores.c_str(), [&] { file = imaging.encodeJPEG(screen, 0.8); }, [&] { return kilobytes(file.size()); });
        row("ours: bands from BGRX on one core", [&] { file = writeJPEG(screen, 80, 1); },
            [&] { return kilobytes(file.size()); });
        const auto turboJPEG = [&](const std::uint8_t* pixels, int pitch, int format) {
            tjhandle handle = tjInitCompress();
            unsigned char* buffer = nullptr;
            unsigned long size = 0;
            tjCompress2(handle, pixels, screen.width, pitch, screen.height, format, &buffer, &size, TJSAMP_420, 80, 0);
            file.assign(buffer, buffer + size);
            tjFree(buffer);
            tjDestroy(handle);
        };
        row(
            "baseline: one pass from BGRX (the previous encoder)",
            [&] { turboJPEG(screen.pixels.data(), static_cast<int>(screen.bytesPerRow), TJPF_BGRX); },
            [&] { return kilobytes(file.size()); });
        row(
            "baseline: copy to RGB, then one pass",
            [&] {
                std::vector<std::uint8_t> rgb(static_cast<std::size_t>(screen.width) * screen.height * 3);
                for (std::size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3) {
                    rgb[j] = screen.pixels[i + 2];
                    rgb[j + 1] = screen.pixels[i + 1];
                    rgb[j + 2] = screen.pixels[i];
                }
                turboJPEG(rgb.data(), 0, TJPF_RGB);
            },
            [&] { return kilobytes(file.size()); });
    }
    pngSection("photo-like screen", screen, cores);
    pngSection("text screen (an editor beside a web page)", textScreen(1920, 1080), cores);
    {
        std::printf("\nBase64 of 1.5 MB\n");
        std::vector<std::uint8_t> data(1536 * 1024);
        std::mt19937 random(3);
        for (auto& byte : data)
            byte = static_cast<std::uint8_t>(random());
        std::string text;
        row(
            "ours: two characters a lookup, output grown once", [&] { text = base64(data.data(), data.size()); },
            [&] { return kilobytes(text.size()); });
        std::string naive;
        row(
            "baseline: bit queue, appended a character at a time", [&] { naive = naiveBase64(data); },
            [&] { return naive == text ? "same text" : "TEXTS DIFFER"; });
    }
    return 0;
}
