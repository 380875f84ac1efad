// Feeds arbitrary bytes through request framing and the service's token check, body rule
// and routing, split into chunks the way a connection receives them. The echo route writes
// back whatever body was accepted, however it nests, so that every body the rule lets in is
// walked and written too: what was read must always be writable again. POST /mcp reads its
// body itself, as the MCP server does on the listener, and calls the echo through its tools.
#include "http/RequestFramer.hpp"
#include "mcp/MCPServer.hpp"
#include "service/Service.hpp"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    static Service service = [] {
        Service s("token", "0");
        s.route("POST", "/echo", [](const Json& body) {
            return HTTPResponse{200, Json{{"number", Service::number(Service::member(body, "n")).value_or(0)},
                                          {"integer", Service::integer(Service::member(body, "i"), -10, 10).value_or(0)},
                                          {"body", body}}};
        });
        return s;
    }();
    static const MCPServer mcp = [] {
        // The tools' routes answer with the echo: a tool call's arguments come back written.
        for (const char* path : {"/execute", "/request", "/audio/start"})
            service.route("POST", path, [](const Json& body) { return HTTPResponse{200, Json{{"got", body}}}; });
        service.route("POST", "/mcp", Service::RequestEndpoint([](const HTTPRequest& request) {
            return mcp.respond(request);
        }));
        return MCPServer(service, "0");
    }();
    if (size < 1)
        return 0;
    // The first byte chooses the chunk size, so one input explores many splits.
    const size_t chunk = 1 + data[0] % 64;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    RequestFramer framer;
    std::string buffer;
    for (size_t at = 0; at < input.size() || at == 0; at += chunk) {
        buffer.append(input.substr(at, chunk));
        auto result = framer.examine(buffer);
        if (auto* request = std::get_if<HTTPRequest>(&result)) {
            const auto answer = service.handle(*request);
            const std::string wire = serializeResponse(answer);
            if (answer.status == 200 && wire == internalErrorWire())
                __builtin_trap(); // an accepted body that cannot be written back
            break;
        }
        if (auto* response = std::get_if<HTTPResponse>(&result)) {
            (void)serializeResponse(*response);
            break;
        }
        if (at >= input.size())
            break;
    }
    return 0;
}
