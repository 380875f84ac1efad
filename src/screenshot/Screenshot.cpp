#include "screenshot/Screenshot.hpp"

#include "capture/ScreenCapture.hpp"
#include "platform/Displays.hpp"
#include "platform/Imaging.hpp"
#include "platform/Platform.hpp"

#include <cmath>
#include <exception>
#include <limits>

namespace Screenshot {

namespace {

Size sizeOf(const Image& image)
{
    return {image.width, image.height};
}

// Whatever goes wrong inside the imaging layer (a size the scaler refuses, memory for an
// enlarged picture, an encoder error) reaches the caller as the one encoding failure.
template<typename Work>
auto imagingStep(Work&& work)
{
    try {
        return work();
    } catch (const std::exception&) {
        throw Failure::encoding();
    }
}

// The whole picture stretched to `size` in one high-quality redraw. A size beyond what the
// imaging layer makes is refused here, before anything is allocated for it.
Image resize(Platform& platform, const Image& image, Size size)
{
    if (size.width > Imaging::maximumPixels / size.height)
        throw Failure::encoding();
    return imagingStep([&] {
        return platform.imaging.resize(image, static_cast<int>(size.width), static_cast<int>(size.height));
    });
}

// The target size is reached by at most one redraw; a picture already at that size is
// encoded as captured.
Image fitted(Platform& platform, Image image, Size size)
{
    if (sizeOf(image) == size)
        return image;
    return resize(platform, image, size);
}

void encode(Platform& platform, const Image& image, std::string_view format, double quality, Shot& shot)
{
    const Encoding kind = encoding(format);
    shot.data = imagingStep([&] {
        return kind == Encoding::png ? platform.imaging.encodePNG(image) : platform.imaging.encodeJPEG(image, quality);
    });
    if (shot.data.empty())
        throw Failure::encoding();
    shot.mime = kind == Encoding::png ? "image/png" : "image/jpeg";
    shot.width = image.width;
    shot.height = image.height;
}

}

Size budget(Size captured, std::int64_t maxPixels)
{
    const double area = static_cast<double>(captured.width) * static_cast<double>(captured.height);
    if (maxPixels < 1 || static_cast<double>(maxPixels) >= area)
        return captured;
    const double ratio = std::sqrt(static_cast<double>(maxPixels) / area);
    // Rounding down a side of a long thin picture can reach 0; such a side is raised to 1,
    // which may exceed the budget by the other side's length.
    return {std::max<std::int64_t>(1, static_cast<std::int64_t>(ratio * static_cast<double>(captured.width))),
            std::max<std::int64_t>(1, static_cast<std::int64_t>(ratio * static_cast<double>(captured.height)))};
}

Size target(Size captured, std::optional<std::int64_t> width, std::optional<std::int64_t> height,
            std::int64_t maxPixels)
{
    if (width && height && *width >= 1 && *height >= 1)
        return {*width, *height};
    return budget(captured, maxPixels);
}

Encoding encoding(std::string_view format)
{
    return format == "png" ? Encoding::png : Encoding::jpeg;
}

double scale(std::int64_t capturedWidth, double frameWidth)
{
    return frameWidth > 0 ? static_cast<double>(capturedWidth) / frameWidth : 1.0;
}

std::int64_t truncatePoints(double points)
{
    if (std::isnan(points))
        return 0;
    // 2^63 is exact in a double; anything at or past it would overflow the conversion.
    constexpr double limit = 9223372036854775808.0;
    if (points >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (points < -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(points);
}

bool isBlack(Platform& platform, const Image& image)
{
    Image thumbnail;
    try {
        thumbnail = platform.imaging.thumbnail(image, static_cast<int>(blackTestSize.width),
                                               static_cast<int>(blackTestSize.height));
    } catch (const std::exception&) {
        return false;
    }
    if (thumbnail.width < 1 || thumbnail.height < 1)
        return false;
    for (int y = 0; y < thumbnail.height; ++y) {
        const std::uint8_t* pixel = thumbnail.row(y);
        for (int x = 0; x < thumbnail.width; ++x, pixel += 4)
            if (pixel[0] > blackThreshold || pixel[1] > blackThreshold || pixel[2] > blackThreshold)
                return false;
    }
    return true;
}

Shot take(Platform& platform, std::optional<std::int64_t> width, std::optional<std::int64_t> height,
          std::int64_t maxPixels, std::string_view format, double quality)
{
    const std::uint32_t displayID = platform.displays.mainDisplayID();
    Image captured = ScreenCapture::display(platform, displayID);
    if (isBlack(platform, captured))
        throw Failure::black();

    const Rect frame = platform.displays.bounds(displayID);
    Shot shot;
    shot.scale = scale(captured.width, std::fabs(frame.width));
    shot.screenWidth = truncatePoints(std::fabs(frame.width));
    shot.screenHeight = truncatePoints(std::fabs(frame.height));

    const Size size = target(sizeOf(captured), width, height, maxPixels);
    const Image picture = fitted(platform, std::move(captured), size);
    encode(platform, picture, format, quality, shot);
    return shot;
}

Shot window(Platform& platform, std::uint32_t windowID, std::int64_t maxPixels, std::string_view format,
            double quality)
{
    ScreenCapture::WindowCapture captured = ScreenCapture::window(platform, windowID);
    const Rect& frame = captured.frame;
    Shot shot;
    shot.scale = scale(captured.image.width, std::fabs(frame.width));
    shot.screenWidth = truncatePoints(std::fabs(frame.width));
    shot.screenHeight = truncatePoints(std::fabs(frame.height));
    shot.originX = truncatePoints(frame.x);
    shot.originY = truncatePoints(frame.y);

    const Size size = budget(sizeOf(captured.image), maxPixels);
    const Image picture = fitted(platform, std::move(captured.image), size);
    encode(platform, picture, format, quality, shot);
    return shot;
}

}
