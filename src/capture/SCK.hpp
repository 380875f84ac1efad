#pragma once

#include "imaging/Image.hpp"
#include "platform/ScreenCaptureFramework.hpp"

struct Platform;

// The screen-capture framework's two queries made blocking: each waits at most
// ScreenCapture's time-out for the completion. Never call them on a thread the framework
// needs in order to deliver.
class SCK {
public:
    // The shareable content. Throws the framework's error as it came, or
    // Screenshot::Failure::capture when nothing came in time or the answer was empty.
    static ShareableContent content(Platform& platform, bool excludingDesktopWindows, bool onScreenWindowsOnly);

    // The displays of the shareable content, no windows; thrown as content() throws.
    static ShareableContent displays(Platform& platform);

    // One picture. Throws the framework's error as it came, Screenshot::Failure::noImage for
    // an empty answer, Screenshot::Failure::capture when nothing came in time.
    static Image capture(Platform& platform, const ContentFilter& filter, const StreamConfiguration& configuration);
    // One picture made over `earlier` (ScreenCaptureFramework::captureImageOver); thrown as
    // capture() throws.
    static RetakenImage captureOver(Platform& platform, const ContentFilter& filter,
                                    const StreamConfiguration& configuration, Image earlier);
};
