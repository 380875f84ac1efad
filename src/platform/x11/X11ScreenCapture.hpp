#pragma once

#include "base/SerialQueue.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/x11/X11Connection.hpp"

#include <chrono>
#include <cstdint>

// The screen-capture framework on X11: RandR displays, the window manager's windows (or the
// top-level windows of a bare server), MIT-SHM pictures of the root window and Composite
// pictures of single windows. Queries return at once; the work and the completion run on
// the X11 worker thread, never on the caller's.
class X11ScreenCapture final : public ScreenCaptureFramework {
public:
    explicit X11ScreenCapture(X11Connection& connection);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    // RandR's monitors alone: listing the windows asks a dozen questions of every window.
    void getShareableDisplays(ContentCompletion completion) override;
    // One point is one pixel on X11.
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;
    // A display's picture is compared with the earlier one row by row as it is read
    // (x11ReadImageOver); a window's is made anew.
    void captureImageOver(const ContentFilter& filter, const StreamConfiguration& configuration, Image earlier,
                          RetakeCompletion completion) override;

    // The same work, on the calling thread (the benchmark and the platform tests use these).
    ShareableContent shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly);
    ShareableContent shareableDisplays();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);
    RetakenImage captureOver(const ContentFilter& filter, const StreamConfiguration& configuration, Image earlier);

    // The shared segment that pictures are read through (16 MB for 2560 x 1600) is kept for
    // the next picture this long after the last one, as the heap keeps the rest of a
    // picture's memory (src/app/main.cpp), then detached.
    static constexpr std::chrono::seconds idleRelease{10};

private:
    void releaseWhenIdle();

    X11Connection& connection_;
    // Pictures taken so far; on the worker thread only.
    std::uint64_t pictures_ = 0;
    SerialQueue worker_;
};
