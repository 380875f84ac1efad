#include "platform/linux/LinuxImaging.hpp"

#include "base/PlatformError.hpp"
#include "imaging/AreaShrink.hpp"
#include "imaging/JPEGWriter.hpp"
#include "imaging/Parallel.hpp"
#include "imaging/PNGWriter.hpp"
#include "imaging/Resample.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

Image LinuxImaging::resize(const Image& image, int width, int height)
{
    checkPicture(image, "resize");
    if (width < 1 || height < 1)
        throw PlatformError("Imaging", 0, "resize: the size must be at least 1 x 1");
    if (static_cast<std::int64_t>(width) * height > maximumPixels)
        throw PlatformError("Imaging", 0,
                            "resize: " + std::to_string(width) + " x " + std::to_string(height) + " is too large");
    // Pixels within a row are counted with int.
    if (image.bytesPerRow > static_cast<std::size_t>(std::numeric_limits<int>::max())
        || static_cast<std::size_t>(width) * 4 > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw PlatformError("Imaging", 0, "resize: the picture is too wide");

    // Shrinking, the usual case: each new pixel is the average of what it covers, which
    // keeps thin text from aliasing. Enlarging along either side: bicubic along a side that
    // grows (an area average there would be blocky), the same average along one that shrinks.
    if (width <= image.width && height <= image.height)
        return areaShrink(image, width, height, usableCores());
    return resizeEnlarging(image, width, height, usableCores());
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
    // Enlarged pictures are not kept in strips to redo in part: made whole.
    const Image enlarged = resize(current, width, height);
    return {format == PictureFormat::png ? encodePNG(enlarged) : encodeJPEG(enlarged, quality)};
}

void LinuxImaging::releaseKept()
{
    const std::lock_guard lock(keptLock_);
    kept_.clear();
}
