#include "mcp/JsonRPC.hpp"

namespace JsonRPC {

namespace {

bool isID(const Json& id)
{
    return id.is_string() || id.is_number_integer();
}

}

Message read(std::string_view text)
{
    auto parsed = readJson(text);
    if (!parsed)
        return Refusal{nullptr, parseError, "the message is not JSON"};
    const Json& message = *parsed;
    if (message.is_array())
        return Refusal{nullptr, invalidRequest, "batches are not supported: send one message at a time"};
    if (!message.is_object())
        return Refusal{nullptr, invalidRequest, "a message must be a JSON object"};

    const auto id = message.find("id");
    const bool hasID = id != message.end();
    // The id goes back with the error only when it is one a client can match.
    const Json answerID = hasID && isID(*id) ? *id : Json(nullptr);

    const auto version = message.find("jsonrpc");
    if (version == message.end() || *version != "2.0")
        return Refusal{answerID, invalidRequest, "\"jsonrpc\" must be \"2.0\""};
    if (hasID && !isID(*id))
        return Refusal{nullptr, invalidRequest, "\"id\" must be a string or an integer"};

    const auto method = message.find("method");
    if (method == message.end()) {
        if (hasID && (message.contains("result") || message.contains("error")))
            return Response{};
        return Refusal{answerID, invalidRequest, "a message needs a \"method\""};
    }
    if (!method->is_string())
        return Refusal{answerID, invalidRequest, "\"method\" must be a string"};

    Json params = Json::object();
    if (const auto found = message.find("params"); found != message.end()) {
        if (!found->is_object())
            return Refusal{answerID, hasID ? invalidParams : invalidRequest, "\"params\" must be an object"};
        params = *found;
    }
    if (!hasID)
        return Notification{method->get<std::string>()};
    return Request{*id, method->get<std::string>(), std::move(params)};
}

Json result(const Json& id, Json result)
{
    return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json error(const Json& id, int code, std::string message)
{
    return Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", std::move(message)}}}};
}

}
