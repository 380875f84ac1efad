#pragma once

#include "imaging/Image.hpp"
#include "platform/wayland/WaylandConnection.hpp"

#include <cstdint>
#include <memory>
#include <vector>

// Pictures of whole outputs through wlr-screencopy: the compositor copies a frame of the
// output into a shared-memory buffer of ours, which becomes a BGRA picture in the layout's
// orientation.
//
// A picture asked for with Reuse::watch leaves a copy pending on its output that completes
// only when the output changes (copy_with_damage), so that the next picture of an unchanged
// output is answered from the last one without waiting for a frame (WaylandScreencopy.cpp
// says when that is sound). Everything runs under the connection's lock (inside
// WaylandConnection::run or ifConnected).
class WaylandScreencopy {
public:
    // Whether the picture leaves a copy pending on its output for the next one.
    enum class Reuse { no, watch };

    WaylandScreencopy();
    ~WaylandScreencopy();
    WaylandScreencopy(const WaylandScreencopy&) = delete;
    WaylandScreencopy& operator=(const WaylandScreencopy&) = delete;

    // Throws PlatformError when the compositor offers no screencopy, refuses or fails the
    // copy, or offers only a buffer format this cannot read; WaylandConnectionLost.
    Image capture(WaylandSession& session, std::uint32_t outputID, bool withCursor, Reuse reuse = Reuse::no);
    // The same picture made over `earlier` (the caller's last picture of the output, or
    // anything else): only the rows that differ from it are written, and returned marked as
    // copyRowsThatDiffer marks them; an earlier picture of another size becomes the whole
    // picture, with nothing marked. A watched output's unchanged picture is then never copied
    // whole. Throws as capture(), with `earlier` left as it was.
    std::vector<std::uint8_t> captureOver(WaylandSession& session, std::uint32_t outputID, bool withCursor,
                                          Reuse reuse, Image& earlier, std::size_t threads);

    // Gives the pending copies, their buffers and the kept pictures back (pictures stopped
    // for a while), telling the compositor at once.
    void release(WaylandSession& session);
    // Drops everything without telling anyone: its connection is gone.
    void forget();

    // Outputs watched now (for tests of the memory kept).
    std::size_t watching() const { return watches_.size(); }

    struct Buffer;
    struct Frame;
    struct Watch;

private:
    // The output's current picture: the watch's own (valid until the next call), or one
    // made into `fresh` when nothing is watched.
    const Image& current(WaylandSession& session, std::uint32_t outputID, bool withCursor, Reuse reuse,
                         Image& fresh);
    Image copyOnce(WaylandSession& session, std::uint32_t outputID, bool withCursor);
    const Image& startWatch(WaylandSession& session, const WaylandOutput& output, bool withCursor);
    const Image& answer(WaylandSession& session, Watch& watch);
    void arm(WaylandSession& session, Watch& watch);
    bool fence(WaylandSession& session, Watch& watch);
    void stopWatching(std::uint32_t outputID);

    std::unique_ptr<Buffer> buffer_;      // for pictures that watch nothing
    std::unique_ptr<Buffer> fenceBuffer_; // the few pixels a fence copies
    std::vector<std::unique_ptr<Watch>> watches_;
};
