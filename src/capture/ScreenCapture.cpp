#include "capture/ScreenCapture.hpp"

#include "base/Text.hpp"
#include "capture/SCK.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/Displays.hpp"
#include "platform/Platform.hpp"
#include "platform/SystemVersion.hpp"
#include "platform/WindowServer.hpp"

#include <cmath>
#include <limits>

namespace {

const char* streamErrorName(long code)
{
    switch (code) {
    case -3801: return "userDeclined";
    case -3802: return "failedToStart";
    case -3803: return "missingEntitlements";
    case -3804: return "failedApplicationConnectionInvalid";
    case -3805: return "failedApplicationConnectionInterrupted";
    case -3806: return "failedNoMatchingApplicationContext";
    case -3807: return "attemptToStartStreamState";
    case -3808: return "attemptToStopStreamState";
    case -3809: return "attemptToUpdateFilterState";
    case -3810: return "attemptToConfigState";
    case -3811: return "internalError";
    case -3812: return "invalidParameter";
    case -3813: return "noWindowList";
    case -3814: return "noDisplayList";
    case -3815: return "noCaptureSource";
    case -3816: return "removingStream";
    default: return nullptr;
    }
}

bool isStreamError(const PlatformError& error)
{
    return error.domain == screenCaptureErrorDomain;
}

}

bool ScreenCapture::usesFramework(Platform& platform)
{
    return platform.systemVersion.isAtLeast(14, 0, 0);
}

std::string ScreenCapture::source(Platform& platform)
{
    return usesFramework(platform) ? "ScreenCaptureKit" : "CoreGraphics";
}

double ScreenCapture::pixelScale(Platform& platform, const ContentFilter& filter, std::uint32_t displayID)
{
    if (filter.pointPixelScale > 0)
        return static_cast<double>(filter.pointPixelScale);
    const double width = std::fabs(platform.displays.bounds(displayID).width);
    const auto modeWidth = platform.displays.modePixelWidth(displayID);
    if (modeWidth && width > 0)
        return static_cast<double>(*modeWidth) / width;
    return 1.0;
}

std::int64_t ScreenCapture::pixelSize(double points, double scale)
{
    const double pixels = std::round(scale * points);
    // A size the platform made up (NaN, or beyond any picture) must not overflow the
    // conversion; the framework refuses such a capture on its own.
    if (!(pixels >= 1))
        return 1;
    if (pixels >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int64_t>(pixels);
}

namespace {

struct DisplayCapture {
    ContentFilter filter;
    StreamConfiguration configuration;
};

// What the framework is asked for a picture of the whole display at its native size.
DisplayCapture displayCapture(Platform& platform, std::uint32_t displayID, ScreenCapture::Pointer pointer)
{
    const auto content = SCK::displays(platform);
    const ShareableDisplay* display = nullptr;
    for (const auto& listed : content.displays) {
        if (listed.displayID == displayID) {
            display = &listed;
            break;
        }
    }
    if (!display)
        throw Screenshot::Failure::capture("ScreenCaptureKit lists no display " + std::to_string(displayID) + " ("
                                           + std::to_string(content.displays.size()) + " on the list)");

    DisplayCapture capture{platform.screenCapture.filter(*display), {}};
    const double scale = ScreenCapture::pixelScale(platform, capture.filter, displayID);
    capture.configuration.width = ScreenCapture::pixelSize(static_cast<double>(display->width), scale);
    capture.configuration.height = ScreenCapture::pixelSize(static_cast<double>(display->height), scale);
    capture.configuration.showsCursor = pointer == ScreenCapture::Pointer::shown;
    return capture;
}

// The older path's picture of the display.
Image legacyDisplay(Platform& platform, std::uint32_t displayID)
{
    auto image = platform.displays.createImage(displayID);
    if (!image)
        throw Screenshot::Failure::noImage();
    return std::move(*image);
}

}

Image ScreenCapture::display(Platform& platform, std::uint32_t displayID, Pointer pointer)
{
    if (!usesFramework(platform))
        return legacyDisplay(platform, displayID);
    const DisplayCapture capture = displayCapture(platform, displayID, pointer);
    return SCK::capture(platform, capture.filter, capture.configuration);
}

RetakenImage ScreenCapture::displayOver(Platform& platform, std::uint32_t displayID, Image earlier)
{
    if (!usesFramework(platform))
        return {legacyDisplay(platform, displayID), {}};
    const DisplayCapture capture = displayCapture(platform, displayID, Pointer::shown);
    return SCK::captureOver(platform, capture.filter, capture.configuration, std::move(earlier));
}

ScreenCapture::WindowCapture ScreenCapture::window(Platform& platform, std::uint32_t windowID)
{
    if (!usesFramework(platform)) {
        // The window server lists on-screen windows only, so a hidden window is not found.
        for (const auto& entry : legacyWindows(platform)) {
            if (entry.id != windowID)
                continue;
            auto image = platform.windowServer.createWindowImage(windowID);
            if (!image || image->width <= 0)
                throw Screenshot::Failure::noImage();
            return {std::move(*image), entry.frame};
        }
        throw Screenshot::Failure::noWindow(windowID);
    }

    const auto content = SCK::content(platform, false, false);
    for (const auto& window : content.windows) {
        if (window.windowID != windowID)
            continue;
        const auto filter = platform.screenCapture.filter(window);
        // The main display's scale, whichever display the window is on.
        const double scale = pixelScale(platform, filter, platform.displays.mainDisplayID());
        StreamConfiguration configuration;
        configuration.width = pixelSize(std::fabs(window.frame.width), scale);
        configuration.height = pixelSize(std::fabs(window.frame.height), scale);
        configuration.showsCursor = false;
        configuration.ignoreShadowsSingleWindow = true;
        return {SCK::capture(platform, filter, configuration), window.frame};
    }
    throw Screenshot::Failure::noWindow(windowID);
}

ScreenCapture::Probe ScreenCapture::probe(Platform& platform)
{
    if (!usesFramework(platform))
        return Probe::granted();
    try {
        SCK::content(platform, true, true);
        return Probe::granted();
    } catch (...) {
        const auto error = std::current_exception();
        if (isDenied(platform, error))
            return Probe::denied(describe(platform, error));
        return Probe::unknown(describe(platform, error));
    }
}

std::string ScreenCapture::describe(Platform& platform, std::exception_ptr error)
{
    try {
        if (!error)
            return "unknown error";
        std::rethrow_exception(error);
    } catch (const PlatformError& platformError) {
        if (usesFramework(platform) && isStreamError(platformError)) {
            const char* name = streamErrorName(platformError.code);
            const std::string code = std::to_string(platformError.code);
            return "ScreenCaptureKit " + (name ? std::string(name) : "code " + code) + " (" + code
                + "): " + platformError.description;
        }
        return platformError.description + " (" + platformError.domain + " error "
            + std::to_string(platformError.code) + ")";
    } catch (const Screenshot::Failure& failure) {
        return failure.description();
    } catch (const std::exception& other) {
        return validUTF8(other.what()); // a library's text, perhaps in the locale's encoding
    } catch (...) {
        return "unknown error";
    }
}

bool ScreenCapture::isDenied(Platform& platform, std::exception_ptr error)
{
    if (!error || !usesFramework(platform))
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const PlatformError& platformError) {
        return isStreamError(platformError) && (platformError.code == -3801 || platformError.code == -3814);
    } catch (...) {
        return false;
    }
}
