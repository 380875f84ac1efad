#pragma once

#include "base/PlatformError.hpp"
#include "platform/Geometry.hpp"
#include "imaging/Image.hpp"
#include "imaging/Parallel.hpp"
#include "imaging/PictureCache.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The screen-capture framework: what can be captured, and one picture of it.

// One display of the shareable content. Its size is in points.
struct ShareableDisplay {
    std::uint32_t displayID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// The application that owns a window.
struct OwningApplication {
    std::int32_t processID = 0;
    std::string applicationName;
    std::string bundleIdentifier;
};

// One window of the shareable content. `frame` is in points in the global display space.
struct ShareableWindow {
    std::uint32_t windowID = 0;
    Rect frame;
    std::optional<std::string> title;
    std::int64_t windowLayer = 0;
    bool isOnScreen = true;
    std::optional<OwningApplication> owningApplication;
};

// Both lists in the framework's order (windows front to back where the framework knows it).
struct ShareableContent {
    std::vector<ShareableDisplay> displays;
    std::vector<ShareableWindow> windows;
};

// What a picture is taken of: a whole display with no window left out, or one window on its
// own wherever it is. Made by the framework, which knows the pixel scale of the content.
struct ContentFilter {
    enum class Kind { display, window };
    Kind kind = Kind::display;
    std::uint32_t id = 0; // displayID or windowID
    // Pixels per point of the filtered content; 0 or less when the framework cannot tell.
    float pointPixelScale = 0;
};

// The settings of a capture, requests the framework honours: the picture comes back at
// `width` x `height` pixels.
struct StreamConfiguration {
    // The four-character code 'BGRA': 8-bit blue, green, red, alpha.
    static constexpr std::uint32_t pixelFormatBGRA = 1111970369;
    // captureResolution: the best the content offers.
    static constexpr int captureResolutionBest = 1;

    std::int64_t width = 0;
    std::int64_t height = 0;
    bool showsCursor = true;
    std::uint32_t pixelFormat = pixelFormatBGRA;
    int captureResolution = captureResolutionBest;
    // Unset unless the caller sets it: a single window's shadow left out of its picture.
    std::optional<bool> ignoreShadowsSingleWindow;
};

// A picture made over an earlier one of the same content (captureImageOver).
struct RetakenImage {
    Image image;
    // One entry per row of `image`, non-zero where the row differs from the earlier
    // picture's, found by comparing every pixel as the row was made. Empty when nothing was
    // compared: every row then counts as changed.
    std::vector<std::uint8_t> changedRows;
};

// The framework's own errors carry this domain in PlatformError::domain; their codes are
// the stream-error codes (-3801 the user declined, -3814 no display list, ...).
inline constexpr const char* screenCaptureErrorDomain = "SCStreamErrorDomain";

// The framework answers only through completions. Each query returns at once and calls its
// completion later, on a thread of the implementation and never on the caller's thread, so
// the caller may block waiting for it. A completion is called at most once; it may carry a
// value, an error, both or neither, and it may come after the caller stopped waiting, so it
// must own what it touches. Errors are PlatformError values, delivered, not thrown.
class ScreenCaptureFramework {
public:
    using ContentCompletion = std::function<void(std::optional<ShareableContent>, std::optional<PlatformError>)>;
    using ImageCompletion = std::function<void(std::optional<Image>, std::optional<PlatformError>)>;
    using RetakeCompletion = std::function<void(std::optional<RetakenImage>, std::optional<PlatformError>)>;

    virtual ~ScreenCaptureFramework() = default;

    // Lists the displays and windows that can be captured.
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ContentCompletion completion) = 0;

    // Lists the displays alone (no windows), for a picture of a whole display, which needs
    // no window. A framework that lists displays cheaper than windows says so here; the
    // rest give the whole listing with its windows dropped.
    virtual void getShareableDisplays(ContentCompletion completion)
    {
        getShareableContent(false, true, [completion = std::move(completion)](std::optional<ShareableContent> content,
                                                                                std::optional<PlatformError> error) {
            if (content)
                content->windows.clear();
            completion(std::move(content), std::move(error));
        });
    }

    // Filters. Any thread; they may ask the display server and block briefly; they never
    // throw (an unknown scale is 0).
    virtual ContentFilter filter(const ShareableDisplay& display) = 0;
    virtual ContentFilter filter(const ShareableWindow& window) = 0;

    // One picture of the filter's content, in BGRA, owned by the completion's receiver.
    virtual void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                              ImageCompletion completion) = 0;

    // captureImage, made in the memory of `earlier` (the last picture of the same filter and
    // configuration, or an empty one), telling which rows differ from it. For a screen that
    // barely changed, reading the new pixels and the earlier ones in one pass costs less
    // than a fresh picture and a comparison after. A framework that cannot compare as it
    // reads gives a fresh picture compared after, as here.
    virtual void captureImageOver(const ContentFilter& filter, const StreamConfiguration& configuration, Image earlier,
                                  RetakeCompletion completion)
    {
        captureImage(filter, configuration,
                     [earlier = std::move(earlier), completion = std::move(completion)](
                         std::optional<Image> image, std::optional<PlatformError> error) {
                         std::optional<RetakenImage> retaken;
                         if (image) {
                             std::vector<std::uint8_t> changed = rowsThatDiffer(earlier, *image, usableCores());
                             retaken = RetakenImage{std::move(*image), std::move(changed)};
                         }
                         completion(std::move(retaken), std::move(error));
                     });
    }
};
