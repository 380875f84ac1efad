#pragma once

#include "base/SerialQueue.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

// The screen-capture framework on a wlroots desktop: the outputs (xdg-output) as displays,
// the windows of WaylandWindows, screencopy pictures of outputs and windows cut from them.
// Queries return at once; the work and the completion run on a worker thread of its own.
class WaylandScreenCapture final : public ScreenCaptureFramework {
public:
    WaylandScreenCapture(WaylandConnection& connection, WaylandScreencopy& screencopy);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    // The scale of the output (of the output showing most of the window): 2 at scale 2.
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    // The same work, on the calling thread (benchmarks and probes use these).
    ShareableContent shareableContent();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);

private:
    WaylandConnection& connection_;
    WaylandScreencopy& screencopy_;
    SerialQueue worker_;
};
