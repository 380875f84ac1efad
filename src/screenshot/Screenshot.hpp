#pragma once

#include "capture/ScreenshotFailure.hpp"
#include "imaging/Image.hpp"
#include "screenshot/Shot.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

struct Platform;

// The picture pipeline: capture, reject a black display, reduce to a pixel budget or an
// exact size, encode. Each capture is handed to the imaging layer as its kept picture, so
// that the next picture of the same display or window redoes only what changed (see
// Imaging::keep); the results are those of the whole work. The calls run on the caller's thread
// and block it for the capture (up to two waits of the capture time-out) plus the resize
// and the encoding. Capture errors pass through unchanged; this layer adds
// Screenshot::Failure::black and ::encoding.
namespace Screenshot {

// A picture's size in pixels.
struct Size {
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

enum class Encoding { png, jpeg };

// The thumbnail the black test looks at.
inline constexpr Size blackTestSize{64, 36};
// A thumbnail channel above this is a lit pixel.
inline constexpr int blackThreshold = 7;
// The widest and tallest pointer picture, in captured pixels, that the black test looks past
// (large accessibility pointers on a display of twice the pixel density).
inline constexpr double largestPointer = 256;

// The main display, with the pointer. It is refused as black when the screen is, whether or
// not the pointer shows on it. An explicit `width` and `height`, both at least 1, give exactly that
// size (enlarging if need be, aspect ratio not kept); otherwise the picture is reduced to
// at most `maxPixels`. `format` "png" gives PNG, anything else JPEG at `quality` (0.3 to 1.0).
// The arguments arrive bounded by the endpoint and are not bounded again here.
Shot take(Platform& platform, std::optional<std::int64_t> width, std::optional<std::int64_t> height,
          std::int64_t maxPixels, std::string_view format, double quality);

// One window, reduced to at most `maxPixels` (0: no budget). There is no black test: a
// window may well be black.
Shot window(Platform& platform, std::uint32_t windowID, std::int64_t maxPixels, std::string_view format,
            double quality);

// True when every pixel of a 64 x 36 area-averaged thumbnail has red, green and blue at
// most 7 (alpha is not looked at). A thumbnail that cannot be made is not black. Never throws.
bool isBlack(Platform& platform, const Image& image);

// The largest picture within `maxPixels` of the captured aspect ratio:
// r = sqrt(maxPixels / (w * h)), each side r times the captured side, truncated, at least 1.
// A budget below 1 or not below the captured area leaves the size alone.
Size budget(Size captured, std::int64_t maxPixels);

// The size `take` aims at: the explicit size when both sides are at least 1, else the budget.
Size target(Size captured, std::optional<std::int64_t> width, std::optional<std::int64_t> height,
            std::int64_t maxPixels);

// Exactly "png" (case-sensitive) is PNG; anything else is JPEG.
Encoding encoding(std::string_view format);

// Captured pixels per point: captured width over the frame's width, 1.0 when that is not
// positive.
double scale(std::int64_t capturedWidth, double frameWidth);

// Points to whole points toward zero, for the geometry of a Shot. NaN gives 0; values beyond
// the 64-bit range are held at its ends.
std::int64_t truncatePoints(double points);

}
