#pragma once

#include "base/SerialQueue.hpp"
#include "platform/Displays.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/gnome/GnomeScreenCast.hpp"
#include "platform/gnome/GnomeWindows.hpp"

// The screen-capture framework on GNOME: the main monitor as the one display, the windows the
// shell extension lists (GnomeWindows; none without it), pictures from the screen cast's
// stream, a window's cut from the monitor's at the window's frame, so that what covers the
// window is in its picture too. Without the user's consent every query fails: with the
// framework's "declined" error after a refusal, with a plain error saying what is awaited
// otherwise. Queries return at once; the work and the completion run on a worker thread.
class GnomeScreenCapture final : public ScreenCaptureFramework {
public:
    GnomeScreenCapture(Displays& displays, GnomeScreenCast& screenCast, GnomeWindows& windows);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    // The same work on the calling thread (windows not shown included unless asked).
    ShareableContent shareableContent();
    ShareableContent shareableContent(bool onScreenWindowsOnly);
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);

    // The windows, front to back, frames in the global display space (the main monitor's
    // top-left corner its origin). None when the extension is missing or its list fails:
    // the display stays capturable, and GnomeWindows::note() tells why. Throws PlatformError
    // without the user's consent.
    std::vector<ShareableWindow> windows();
    // One window's picture, cut from the monitor's at its frame and clipped to the monitor.
    // Throws PlatformError naming why when there is none (no consent, no list, the window
    // gone, not shown, or off the monitor).
    Image windowPicture(std::uint32_t windowID);

private:
    void requireConsent();

    Displays& displays_;
    GnomeScreenCast& screenCast_;
    GnomeWindows& windows_;
    SerialQueue worker_;
};
