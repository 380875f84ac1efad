#include "screenshot/Screenshot.hpp"

#include "capture/ScreenCapture.hpp"
#include "platform/Displays.hpp"
#include "platform/Imaging.hpp"
#include "platform/Platform.hpp"

#include <algorithm>
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

// The picture kept from the capture, whose earlier work the imaging layer may reuse;
// `comparedRows` are the rows the capture found changed, when it compared.
const Image& keep(Platform& platform, const PictureSource& source, Image captured,
                  const std::vector<std::uint8_t>* comparedRows = nullptr)
{
    return *imagingStep([&] { return &platform.imaging.keep(source, std::move(captured), comparedRows); });
}

// The kept picture at `size`, reached by at most one redraw (none when the capture is
// already that size), then encoded. A size beyond what the imaging layer makes is refused
// here, before anything is allocated for it.
void encode(Platform& platform, const Image& kept, Size size, std::string_view format, double quality, Shot& shot)
{
    if (size != sizeOf(kept) && size.width > Imaging::maximumPixels / size.height)
        throw Failure::encoding();
    const Encoding kind = encoding(format);
    EncodedPicture encoded = imagingStep([&] {
        return platform.imaging.encodeKept(static_cast<int>(size.width), static_cast<int>(size.height),
                                           kind == Encoding::png ? PictureFormat::png : PictureFormat::jpeg, quality);
    });
    shot.data = std::move(encoded.bytes);
    shot.dataIsBase64Text = encoded.base64Text;
    if (shot.data.empty())
        throw Failure::encoding();
    shot.mime = kind == Encoding::png ? "image/png" : "image/jpeg";
    shot.width = size.width;
    shot.height = size.height;
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

namespace {

// The box around the lit pixels of the black test's thumbnail, in thumbnail pixels (cells).
struct LitCells {
    int left, top, right, bottom; // inclusive
};

// What the black test sees: whether its thumbnail could be made, and where it is lit
// (nowhere on a black picture).
struct ThumbnailTest {
    bool made = false;
    std::optional<LitCells> lit;
};

// `makeThumbnail` makes the black test's thumbnail of the picture judged.
template<typename MakeThumbnail>
ThumbnailTest thumbnailTest(MakeThumbnail&& makeThumbnail)
{
    Image thumbnail;
    try {
        thumbnail = makeThumbnail(static_cast<int>(blackTestSize.width), static_cast<int>(blackTestSize.height));
    } catch (const std::exception&) {
        return {};
    }
    if (thumbnail.width < 1 || thumbnail.height < 1)
        return {};
    std::optional<LitCells> lit;
    for (int y = 0; y < thumbnail.height; ++y) {
        const std::uint8_t* pixel = thumbnail.row(y);
        for (int x = 0; x < thumbnail.width; ++x, pixel += 4) {
            if (pixel[0] <= blackThreshold && pixel[1] <= blackThreshold && pixel[2] <= blackThreshold)
                continue;
            if (!lit)
                lit = LitCells{x, y, x, y};
            lit->left = std::min(lit->left, x);
            lit->right = std::max(lit->right, x);
            lit->top = std::min(lit->top, y);
            lit->bottom = std::max(lit->bottom, y);
        }
    }
    return {true, lit};
}

// Whether a pointer could have lit all those cells. A pointer no wider than largestPointer
// spans at most that many pixels plus one cell on each side of its cells, wherever it sits.
bool fitsUnderPointer(const LitCells& lit, const Image& captured)
{
    const double cellWidth = static_cast<double>(captured.width) / static_cast<double>(blackTestSize.width);
    const double cellHeight = static_cast<double>(captured.height) / static_cast<double>(blackTestSize.height);
    return (lit.right - lit.left - 1) * cellWidth < largestPointer
           && (lit.bottom - lit.top - 1) * cellHeight < largestPointer;
}

// The black test judges the screen, not the pointer drawn on it: a black screen with the
// pointer on it is still black. The capture shows the pointer, which the caller wants to
// see; so when its only lit pixels could be the pointer's, the display is captured again
// without it and that picture decides. A second capture is paid only for a screen that is
// black but for a small patch, and one that fails leaves the verdict to the first picture.
// The captured picture is the kept one, whose thumbnail is remade only where rows changed:
// the test always judges the real pixels of this capture.
bool isBlackScreen(Platform& platform, std::uint32_t displayID, const Image& captured)
{
    const ThumbnailTest test
        = thumbnailTest([&](int width, int height) { return platform.imaging.keptThumbnail(width, height); });
    if (!test.made)
        return false;
    if (!test.lit)
        return true;
    if (!fitsUnderPointer(*test.lit, captured))
        return false;
    try {
        return isBlack(platform, ScreenCapture::display(platform, displayID, ScreenCapture::Pointer::hidden));
    } catch (...) {
        return false;
    }
}

}

bool isBlack(Platform& platform, const Image& image)
{
    const ThumbnailTest test
        = thumbnailTest([&](int width, int height) { return platform.imaging.thumbnail(image, width, height); });
    return test.made && !test.lit;
}

Shot take(Platform& platform, std::optional<std::int64_t> width, std::optional<std::int64_t> height,
          std::int64_t maxPixels, std::string_view format, double quality)
{
    const std::uint32_t displayID = platform.displays.mainDisplayID();
    // Made over the last picture of the display, which the capture compares as it goes.
    const PictureSource source{PictureSource::Kind::display, displayID, true};
    RetakenImage retaken = ScreenCapture::displayOver(platform, displayID, platform.imaging.lendKept(source));
    const Image& captured = keep(platform, source, std::move(retaken.image),
                                 retaken.changedRows.empty() ? nullptr : &retaken.changedRows);
    if (isBlackScreen(platform, displayID, captured))
        throw Failure::black();

    const Rect frame = platform.displays.bounds(displayID);
    Shot shot;
    shot.scale = scale(captured.width, std::fabs(frame.width));
    shot.screenWidth = truncatePoints(std::fabs(frame.width));
    shot.screenHeight = truncatePoints(std::fabs(frame.height));

    encode(platform, captured, target(sizeOf(captured), width, height, maxPixels), format, quality, shot);
    return shot;
}

Shot window(Platform& platform, std::uint32_t windowID, std::int64_t maxPixels, std::string_view format,
            double quality)
{
    ScreenCapture::WindowCapture captured = ScreenCapture::window(platform, windowID);
    const Rect frame = captured.frame;
    const Image& kept = keep(platform, {PictureSource::Kind::window, windowID, false}, std::move(captured.image));
    Shot shot;
    shot.scale = scale(kept.width, std::fabs(frame.width));
    shot.screenWidth = truncatePoints(std::fabs(frame.width));
    shot.screenHeight = truncatePoints(std::fabs(frame.height));
    shot.originX = truncatePoints(frame.x);
    shot.originY = truncatePoints(frame.y);

    encode(platform, kept, budget(sizeOf(kept), maxPixels), format, quality, shot);
    return shot;
}

}
