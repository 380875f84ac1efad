#pragma once

#include "base/Json.hpp"
#include "http/HTTPMessage.hpp"

#include <string>
#include <string_view>
#include <vector>

class Service;

// The Model Context Protocol server: reads one JSON-RPC message and answers it, with the
// tools of MCPTools. It keeps no state between messages, so one server serves the HTTP
// transport, where every request stands alone, as well as the standard input of --mcp.
// Runs on the HTTP work queue, as the routes it calls do.
class MCPServer {
public:
    // The protocol versions spoken, newest first.
    static const std::vector<std::string>& protocolVersions();

    MCPServer(const Service& service, std::string version);

    struct Reply {
        enum class Kind {
            // The answer to a request, a result or an error of the method.
            answer,
            // The error answer to a message that could not be read as a request.
            refusal,
            // Nothing to send: a notification, or a client's response.
            none,
        };
        Kind kind;
        Json message;
    };

    // Whatever the bytes, never throws: a failure inside a method is its internal error.
    Reply receive(std::string_view text) const;

    // POST "/mcp", the protocol's HTTP transport answering with plain JSON: 200 with the
    // answer, 400 with the error of a message that is no request, 202 with no body for a
    // notification. An MCP-Protocol-Version header naming a version not spoken is 400.
    HTTPResponse respond(const HTTPRequest& request) const;

    // The error for a line longer than the transport takes.
    static Json tooLarge();

private:
    Json answer(const std::string& method, const Json& params) const;
    Json initialize(const Json& params) const;

    const Service& service_;
    std::string version_;
};
