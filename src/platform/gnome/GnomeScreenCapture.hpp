#pragma once

#include "base/SerialQueue.hpp"
#include "platform/Displays.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/gnome/GnomeScreenCast.hpp"

// The screen-capture framework on GNOME: the main monitor as the one display, pictures from
// the screen cast's stream. Without the user's consent every query fails: with the
// framework's "declined" error after a refusal, with a plain error saying what is awaited
// otherwise. Queries return at once; the work and the completion run on a worker thread.
class GnomeScreenCapture final : public ScreenCaptureFramework {
public:
    GnomeScreenCapture(Displays& displays, GnomeScreenCast& screenCast);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    // The same work on the calling thread.
    ShareableContent shareableContent();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);

private:
    void requireConsent();

    Displays& displays_;
    GnomeScreenCast& screenCast_;
    SerialQueue worker_;
};
