#pragma once

#include <functional>
#include <memory>

class MCPServer;
class SerialQueue;

// The MCP transport of `--mcp`: messages one per line on the input descriptor, answers one
// per line on the output descriptor. A thread of its own reads; every message is served on
// `queue`, the HTTP work queue, in the order it came, and its answer written there. At most a
// few messages wait on the queue at a time: the reader stops reading while they do, so a
// host that writes faster than the desktop is driven costs no memory. A line over the HTTP
// body limit is answered with an error and dropped as it arrives.
class MCPStdio {
public:
    MCPStdio(int input, int output, const MCPServer& server, SerialQueue& queue);
    ~MCPStdio();
    MCPStdio(const MCPStdio&) = delete;
    MCPStdio& operator=(const MCPStdio&) = delete;

    // Starts reading. `served` runs on the queue after each message. When the input ends
    // (the host closed it) or fails, `ended` runs on the reader thread after every message
    // read has been handed to the queue; the answers still to come go out before whatever
    // `ended` puts on the queue behind them.
    void start(std::function<void()> served, std::function<void()> ended);

private:
    struct State;
    std::shared_ptr<State> state_;
};
