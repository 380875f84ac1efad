#include "mcp/MCPStdio.hpp"

#include "base/SerialQueue.hpp"
#include "http/RequestFramer.hpp"
#include "mcp/JsonRPC.hpp"
#include "mcp/LineFramer.hpp"
#include "mcp/MCPServer.hpp"

#include <cerrno>
#include <semaphore>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Messages handed to the queue and not yet answered. A few let the next message be read
// while one is served; more would only hold memory.
constexpr std::ptrdiff_t messagesInFlight = 4;

void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        // A host that stopped reading gets nothing more; its closing of the input ends us.
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

}

struct MCPStdio::State : std::enable_shared_from_this<State> {
    State(int input, int output, const MCPServer& server, SerialQueue& queue)
        : input(input), output(output), server(server), queue(queue)
    {
    }

    const int input;
    const int output;
    const MCPServer& server;
    SerialQueue& queue;
    std::counting_semaphore<messagesInFlight> room{messagesInFlight};
    std::function<void()> served;

    void send(const Json& message, const Json& id)
    {
        std::string line;
        try {
            writeJson(message, line);
        } catch (...) {
            // An answer JSON cannot carry (text that is not UTF-8) is the server's failure,
            // not an answer with part of it missing.
            line.clear();
            writeJson(JsonRPC::error(id, JsonRPC::internalError, "the answer could not be written"), line);
        }
        line += '\n';
        writeAll(output, line);
    }

    void serve(LineFramer::Line line)
    {
        room.acquire();
        // The block holds the state: it may run after the reader has ended.
        queue.async([this, self = shared_from_this(), line = std::move(line)] {
            try {
                if (std::holds_alternative<LineFramer::TooLong>(line)) {
                    send(MCPServer::tooLarge(), nullptr);
                } else {
                    const auto reply = server.receive(std::get<std::string>(line));
                    if (reply.kind != MCPServer::Reply::Kind::none)
                        send(reply.message, reply.message.value("id", Json(nullptr)));
                }
            } catch (...) {
                // Out of memory for this one answer: the next message is still served.
            }
            room.release();
            if (served)
                served();
        });
    }
};

MCPStdio::MCPStdio(int input, int output, const MCPServer& server, SerialQueue& queue)
    : state_(std::make_shared<State>(input, output, server, queue))
{
}

MCPStdio::~MCPStdio() = default;

void MCPStdio::start(std::function<void()> served, std::function<void()> ended)
{
    state_->served = std::move(served);
    std::thread([state = state_, ended = std::move(ended)] {
        LineFramer framer(static_cast<size_t>(RequestFramer::maximumBodyBytes));
        std::string chunk(64 * 1024, '\0');
        while (true) {
            const ssize_t n = ::read(state->input, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            for (auto& line : framer.feed(std::string_view(chunk.data(), static_cast<size_t>(n))))
                state->serve(std::move(line));
        }
        if (auto last = framer.finish())
            state->serve(std::move(*last));
        ended();
    }).detach();
}
