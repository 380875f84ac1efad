#pragma once

#include "base/SerialQueue.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

#include <chrono>
#include <cstdint>

// The screen-capture framework on a wlroots desktop: the outputs (xdg-output) as displays,
// the windows of WaylandWindows, screencopy pictures of outputs and windows cut from them.
// Queries return at once; the work and the completion run on a worker thread of its own.
class WaylandScreenCapture final : public ScreenCaptureFramework {
public:
    WaylandScreenCapture(WaylandConnection& connection, WaylandScreencopy& screencopy);

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    // The outputs alone: listing the windows asks sway for its whole tree.
    void getShareableDisplays(ContentCompletion completion) override;
    // The scale of the output (of the output showing most of the window): 2 at scale 2.
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;
    // A display's picture is written over the earlier one as WaylandScreencopy::captureOver
    // writes it: of an unchanged output only the comparison is made, nothing copied.
    void captureImageOver(const ContentFilter& filter, const StreamConfiguration& configuration, Image earlier,
                          RetakeCompletion completion) override;

    // The same work, on the calling thread (benchmarks and probes use these).
    ShareableContent shareableContent();
    ShareableContent shareableDisplays();
    Image capture(const ContentFilter& filter, const StreamConfiguration& configuration);
    RetakenImage captureOver(const ContentFilter& filter, const StreamConfiguration& configuration, Image earlier);

    // Pictures leave a copy pending on their output, with its buffer and the last picture
    // (32 MB for 1920 x 1080 at scale 2), for the next picture; this long after the last
    // picture they are given back, as the X11 backend detaches its shared segment.
    static constexpr std::chrono::seconds idleRelease{10};

private:
    void releaseWhenIdle();

    WaylandConnection& connection_;
    WaylandScreencopy& screencopy_;
    // Pictures taken so far; on the worker thread only.
    std::uint64_t pictures_ = 0;
    SerialQueue worker_;
};
