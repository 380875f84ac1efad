#pragma once

#include "base/Json.hpp"

#include <string>
#include <string_view>
#include <variant>

// JSON-RPC 2.0 as MCP uses it: one message is one JSON object; ids are strings or integers,
// never null; params, when present, are an object. Batches (arrays) are not part of the
// protocol versions this server speaks.
namespace JsonRPC {

enum Code : int {
    parseError = -32700,
    invalidRequest = -32600,
    methodNotFound = -32601,
    invalidParams = -32602,
    internalError = -32603,
};

// A call that wants an answer carrying its id.
struct Request {
    Json id;
    std::string method;
    Json params; // an object; empty when the message had none
};

// A call that wants no answer, not even an error.
struct Notification {
    std::string method;
};

// A client's answer to a request of the server's. This server sends none, so there is
// nothing to match it with: it is accepted and dropped.
struct Response {};

// A message that cannot be served: the error to answer with, carrying the message's id when
// one could be read, else null.
struct Refusal {
    Json id;
    int code;
    std::string message;
};

using Message = std::variant<Request, Notification, Response, Refusal>;

// Reads one message, whatever the bytes: never throws for bad input.
Message read(std::string_view text);

// The answers.
Json result(const Json& id, Json result);
Json error(const Json& id, int code, std::string message);

}
