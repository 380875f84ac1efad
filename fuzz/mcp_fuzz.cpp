// Feeds arbitrary bytes through the MCP standard-input reader (line framing with its size
// limit) and the server's message reading, method dispatch and tool calls, split into chunks
// the way reads of a pipe deliver them. The routes behind the tools answer with the shapes of
// the real ones built from whatever arguments arrived, so that every answer is built and
// written: every reply must be one JSON-RPC object that can be written back.
#include "base/Json.hpp"
#include "mcp/LineFramer.hpp"
#include "mcp/MCPServer.hpp"
#include "service/Service.hpp"

#include <cstdint>
#include <string>

namespace {

const Service& fuzzService()
{
    static const Service service = [] {
        Service s("token", "0");
        const auto echo = [](const Json& body) { return HTTPResponse{200, Json{{"got", body}}}; };
        for (const char* path : {"/status", "/windows", "/audio/status"})
            s.route("GET", path, echo);
        for (const char* path : {"/request", "/execute", "/audio/start", "/audio/stop"})
            s.route("POST", path, echo);
        const auto picture = [](const char* frame) {
            return [frame](const Json& body) -> HTTPResponse {
                const auto width = Service::integer(Service::member(body, "width"), 0, 20'000).value_or(1);
                if (width == 7)
                    return Service::failure(403, "screen_denied", "denied");
                return HTTPResponse{200, Json{{"mime", "image/png"}, {"width", width}, {"height", 2}, {"scale", 1.0},
                                              {"capture", "x"}, {"base64", "iVBORw=="},
                                              {frame, {{"id", 1}, {"x", 0}, {"y", 0}, {"width", 3}, {"height", 4}}}}};
            };
        };
        s.route("POST", "/screenshot", picture("screen"));
        s.route("POST", "/window", picture("window"));
        return s;
    }();
    return service;
}

void check(const MCPServer::Reply& reply)
{
    if (reply.kind == MCPServer::Reply::Kind::none)
        return;
    if (!reply.message.is_object() || reply.message.value("jsonrpc", "") != "2.0")
        __builtin_trap();
    (void)writeJson(reply.message); // throws, and so fails, when the reply cannot be written
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    static const MCPServer server(fuzzService(), "0");
    if (size < 1)
        return 0;
    // The first byte chooses the chunk size, so one input explores many splits; the limit is
    // small so that too-long lines are found at the lengths the fuzzer tries.
    const size_t chunk = 1 + data[0] % 64;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    LineFramer framer(512);
    const auto serve = [](LineFramer::Line& line) {
        if (auto* text = std::get_if<std::string>(&line)) {
            if (text->size() > 512 || text->find('\n') != std::string::npos)
                __builtin_trap();
            check(server.receive(*text));
        }
    };
    for (size_t at = 0; at < input.size(); at += chunk)
        for (auto& line : framer.feed(input.substr(at, chunk)))
            serve(line);
    if (auto last = framer.finish())
        serve(*last);
    return 0;
}
