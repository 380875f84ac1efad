#include "platform/linux/LinuxImaging.hpp"

#include "base/PlatformError.hpp"
#include "imaging/AreaShrink.hpp"
#include "imaging/JPEGWriter.hpp"
#include "imaging/Parallel.hpp"
#include "imaging/PNGWriter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

namespace {

struct SwsContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

}

Image LinuxImaging::resize(const Image& image, int width, int height)
{
    checkPicture(image, "resize");
    if (width < 1 || height < 1)
        throw PlatformError("Imaging", 0, "resize: the size must be at least 1 x 1");
    if (static_cast<std::int64_t>(width) * height > maximumPixels)
        throw PlatformError("Imaging", 0,
                            "resize: " + std::to_string(width) + " x " + std::to_string(height) + " is too large");
    if (image.bytesPerRow > static_cast<std::size_t>(std::numeric_limits<int>::max())
        || static_cast<std::size_t>(width) * 4 > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw PlatformError("swscale", 0, "resize: the picture is too wide");

    // Shrinking, the usual case: each new pixel is the average of what it covers, which
    // keeps thin text from aliasing. Enlarging (in either direction): bicubic through the
    // general scaler, where an area average would be blocky. Accurate rounding keeps flat
    // colours exact.
    if (width <= image.width && height <= image.height)
        return areaShrink(image, width, height, usableCores());
    const int flags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    std::unique_ptr<SwsContext, SwsContextDeleter> context(sws_getContext(
        image.width, image.height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr));
    if (!context)
        throw PlatformError("swscale", 0,
                            "resize: no scaler from " + std::to_string(image.width) + " x " + std::to_string(image.height)
                                + " to " + std::to_string(width) + " x " + std::to_string(height));

    Image result = Image::blank(width, height);
    const std::uint8_t* const sourcePlanes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(image.bytesPerRow), 0, 0, 0};
    std::uint8_t* const resultPlanes[4] = {result.pixels.data(), nullptr, nullptr, nullptr};
    const int resultStrides[4] = {static_cast<int>(result.bytesPerRow), 0, 0, 0};
    const int rows = sws_scale(context.get(), sourcePlanes, sourceStrides, 0, image.height, resultPlanes, resultStrides);
    if (rows != height)
        throw PlatformError("swscale", rows, "resize: the scaler wrote " + std::to_string(rows) + " of "
                                                 + std::to_string(height) + " rows");
    return result;
}

Image LinuxImaging::thumbnail(const Image& image, int width, int height)
{
    // The shrink is the same average, only faster; enlarging along a side needs the general one.
    checkPicture(image, "thumbnail");
    if (width >= 1 && height >= 1 && width <= image.width && height <= image.height)
        return areaShrink(image, width, height, usableCores());
    return areaAverage(image, width, height);
}

std::vector<std::uint8_t> LinuxImaging::encodePNG(const Image& image)
{
    checkPicture(image, "PNG");
    return writePNG(image, usableCores());
}

namespace {

// 0.3 to 1.0 onto the encoder's 30 to 100.
int jpegQuality(double quality)
{
    if (!(quality >= Imaging::minimumQuality))
        quality = Imaging::minimumQuality;
    quality = std::min(quality, Imaging::maximumQuality);
    return static_cast<int>(std::lround(quality * 100));
}

std::uint64_t sourceKey(const PictureSource& source)
{
    return static_cast<std::uint64_t>(source.id) << 2 | (source.kind == PictureSource::Kind::window ? 2u : 0u)
        | (source.pointer ? 1u : 0u);
}

}

std::vector<std::uint8_t> LinuxImaging::encodeJPEG(const Image& image, double quality)
{
    checkPicture(image, "JPEG");
    return writeJPEG(image, jpegQuality(quality), usableCores());
}

Image LinuxImaging::lendKept(const PictureSource& source)
{
    const std::lock_guard lock(keptLock_);
    return kept_.lend(sourceKey(source));
}

const Image& LinuxImaging::keep(const PictureSource& source, Image captured,
                                const std::vector<std::uint8_t>* comparedRows)
{
    checkPicture(captured, "keep");
    const std::lock_guard lock(keptLock_);
    kept_.take(sourceKey(source), std::move(captured), comparedRows, usableCores());
    return kept_.current();
}

Image LinuxImaging::keptThumbnail(int width, int height)
{
    const std::lock_guard lock(keptLock_);
    const Image& current = kept_.current();
    checkPicture(current, "thumbnail");
    if (width >= 1 && height >= 1 && width <= current.width && height <= current.height)
        return kept_.thumbnail(width, height, usableCores());
    return areaAverage(current, width, height);
}

EncodedPicture LinuxImaging::encodeKept(int width, int height, PictureFormat format, double quality)
{
    const std::lock_guard lock(keptLock_);
    const Image& current = kept_.current();
    checkPicture(current, format == PictureFormat::png ? "PNG" : "JPEG");
    if (width >= 1 && height >= 1 && width <= current.width && height <= current.height) {
        // A PNG's text is most of an answer's cost: kept with the strips, it is made again
        // only where they are.
        if (format == PictureFormat::png)
            if (auto text = kept_.encodePNGAsBase64Text(width, height, usableCores()))
                return {std::move(*text), true};
        return {kept_.encode(width, height, format, jpegQuality(quality), usableCores())};
    }
    // Enlarged through the general scaler, which is not ours to redo in part: made whole.
    const Image enlarged = resize(current, width, height);
    return {format == PictureFormat::png ? encodePNG(enlarged) : encodeJPEG(enlarged, quality)};
}

void LinuxImaging::releaseKept()
{
    const std::lock_guard lock(keptLock_);
    kept_.clear();
}
