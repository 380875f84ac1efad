#pragma once

#include "imaging/Image.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

// A video stream of the screen from a PipeWire remote (the one a screen-cast portal opens),
// kept open for the life of the object. The compositor sends a frame whenever the screen
// changes; the stream keeps the newest one in its buffer, unread, so that idle costs
// nothing, and copies it out only when asked. Its own thread (PipeWire's thread loop) runs
// the stream; every call is thread-safe.
class PipeWireScreenStream {
public:
    // Takes the remote's file descriptor over and connects to the node. Throws PlatformError
    // when PipeWire refuses.
    PipeWireScreenStream(int remoteFd, std::uint32_t nodeID);
    ~PipeWireScreenStream();
    PipeWireScreenStream(const PipeWireScreenStream&) = delete;
    PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

    // The newest frame as a BGRA picture; waits up to `deadline` for the first one. Throws
    // PlatformError when the stream has ended or failed, or no frame came in time.
    Image frame(std::chrono::milliseconds deadline);

    // False once the stream has ended or failed (the session was closed, PipeWire went away).
    bool alive() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};
