#include "capture/SCK.hpp"

#include "capture/Handoff.hpp"
#include "capture/ScreenCapture.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/Platform.hpp"

ShareableContent SCK::content(Platform& platform, bool excludingDesktopWindows, bool onScreenWindowsOnly)
{
    return awaitHandoff<ShareableContent>(
        platform.clock, ScreenCapture::timeout,
        [&](ScreenCaptureFramework::ContentCompletion completion) {
            platform.screenCapture.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly, std::move(completion));
        },
        std::make_exception_ptr(Screenshot::Failure::capture("ScreenCaptureKit returned neither content nor an error")),
        [] { return Screenshot::Failure::capture("ScreenCaptureKit did not list the shareable content within 10 s"); });
}

ShareableContent SCK::displays(Platform& platform)
{
    return awaitHandoff<ShareableContent>(
        platform.clock, ScreenCapture::timeout,
        [&](ScreenCaptureFramework::ContentCompletion completion) {
            platform.screenCapture.getShareableDisplays(std::move(completion));
        },
        std::make_exception_ptr(Screenshot::Failure::capture("ScreenCaptureKit returned neither content nor an error")),
        [] { return Screenshot::Failure::capture("ScreenCaptureKit did not list the shareable content within 10 s"); });
}

Image SCK::capture(Platform& platform, const ContentFilter& filter, const StreamConfiguration& configuration)
{
    return awaitHandoff<Image>(
        platform.clock, ScreenCapture::timeout,
        [&](ScreenCaptureFramework::ImageCompletion completion) {
            platform.screenCapture.captureImage(filter, configuration, std::move(completion));
        },
        std::make_exception_ptr(Screenshot::Failure::noImage()),
        [] { return Screenshot::Failure::capture("ScreenCaptureKit did not deliver the picture within 10 s"); });
}

RetakenImage SCK::captureOver(Platform& platform, const ContentFilter& filter, const StreamConfiguration& configuration,
                              Image earlier)
{
    return awaitHandoff<RetakenImage>(
        platform.clock, ScreenCapture::timeout,
        [&](ScreenCaptureFramework::RetakeCompletion completion) {
            platform.screenCapture.captureImageOver(filter, configuration, std::move(earlier), std::move(completion));
        },
        std::make_exception_ptr(Screenshot::Failure::noImage()),
        [] { return Screenshot::Failure::capture("ScreenCaptureKit did not deliver the picture within 10 s"); });
}
