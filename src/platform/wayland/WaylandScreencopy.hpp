#pragma once

#include "imaging/Image.hpp"
#include "platform/wayland/WaylandConnection.hpp"

#include <cstdint>
#include <memory>

// Pictures of whole outputs through wlr-screencopy: the compositor copies its next frame of
// the output into a shared-memory buffer of ours, which becomes a BGRA picture in the
// layout's orientation. The buffer is kept for the next picture of the same size.
// Runs under the connection's lock (inside WaylandConnection::run).
class WaylandScreencopy {
public:
    WaylandScreencopy();
    ~WaylandScreencopy();
    WaylandScreencopy(const WaylandScreencopy&) = delete;
    WaylandScreencopy& operator=(const WaylandScreencopy&) = delete;

    // Throws PlatformError when the compositor offers no screencopy, refuses or fails the
    // copy, or offers only a buffer format this cannot read; WaylandConnectionLost.
    Image capture(WaylandSession& session, std::uint32_t outputID, bool withCursor);

    // Drops the buffer: its connection is gone.
    void forget();

private:
    struct Buffer;
    std::unique_ptr<Buffer> buffer_;
};
