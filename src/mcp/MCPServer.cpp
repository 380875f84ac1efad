#include "mcp/MCPServer.hpp"

#include "http/RequestFramer.hpp"
#include "mcp/JsonRPC.hpp"
#include "mcp/MCPTools.hpp"
#include "service/Service.hpp"

#include <algorithm>

namespace {

// A method's failure, answered as a JSON-RPC error with the request's id.
struct MethodError {
    int code;
    std::string message;
};

const char* const instructions =
    "Sees and drives this computer's desktop. Start with get_status and screenshot. Every mouse tool takes points "
    "of the main display: multiply a screenshot's pixel coordinates by its points_per_pixel. Calls run one at a "
    "time, in order. A refused or failed call is a result with isError and the reason as {\"error\", \"message\"}.";

// Whether a browser's Origin names a page served from this computer. A web page elsewhere
// whose host name has been pointed at 127.0.0.1 reaches the listener as same-origin, and the
// token alone would then be the only guard; its Origin still names the foreign host.
bool isLoopbackOrigin(std::string_view origin)
{
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (!origin.starts_with(scheme))
            continue;
        std::string_view rest = origin.substr(scheme.size());
        const size_t hostEnd = rest.starts_with('[') ? rest.find(']') + 1 : rest.find(':');
        const std::string_view host = rest.substr(0, hostEnd);
        const std::string_view port = hostEnd == std::string_view::npos ? "" : rest.substr(hostEnd);
        const bool portOK = port.empty()
            || (port.size() > 1 && port.front() == ':'
                && port.find_first_not_of("0123456789", 1) == std::string_view::npos);
        return portOK && (host == "127.0.0.1" || host == "localhost" || host == "[::1]");
    }
    return false;
}

std::string spokenVersions()
{
    std::string list;
    for (const auto& version : MCPServer::protocolVersions())
        list += (list.empty() ? "" : ", ") + version;
    return list;
}

}

const std::vector<std::string>& MCPServer::protocolVersions()
{
    static const std::vector<std::string> versions = {"2025-11-25", "2025-06-18"};
    return versions;
}

MCPServer::MCPServer(const Service& service, std::string version)
    : service_(service), version_(std::move(version))
{
}

Json MCPServer::tooLarge()
{
    return JsonRPC::error(nullptr, JsonRPC::invalidRequest,
                          "the message is over " + std::to_string(RequestFramer::maximumBodyBytes) + " bytes");
}

MCPServer::Reply MCPServer::receive(std::string_view text) const
{
    const JsonRPC::Message message = JsonRPC::read(text);
    if (const auto* refusal = std::get_if<JsonRPC::Refusal>(&message))
        return {Reply::Kind::refusal, JsonRPC::error(refusal->id, refusal->code, refusal->message)};
    const auto* request = std::get_if<JsonRPC::Request>(&message);
    // Notifications (initialized, cancelled, ...) change nothing here: every request is
    // served at once and in order, so there is nothing to cancel.
    if (!request)
        return {Reply::Kind::none, nullptr};
    try {
        return {Reply::Kind::answer, JsonRPC::result(request->id, answer(request->method, request->params))};
    } catch (const MethodError& error) {
        return {Reply::Kind::answer, JsonRPC::error(request->id, error.code, error.message)};
    } catch (...) {
        return {Reply::Kind::answer, JsonRPC::error(request->id, JsonRPC::internalError, internalErrorMessage)};
    }
}

Json MCPServer::answer(const std::string& method, const Json& params) const
{
    if (method == "initialize")
        return initialize(params);
    if (method == "ping")
        return Json::object();
    if (method == "tools/list")
        return Json{{"tools", MCPTools::list()}};
    if (method == "tools/call") {
        const auto name = params.find("name");
        if (name == params.end() || !name->is_string())
            throw MethodError{JsonRPC::invalidParams, "tools/call needs the tool's \"name\""};
        const auto arguments = params.find("arguments");
        if (arguments != params.end() && !arguments->is_object())
            throw MethodError{JsonRPC::invalidParams, "\"arguments\" must be an object"};
        auto result = MCPTools::call(service_, name->get<std::string>(),
                                     arguments == params.end() ? Json::object() : *arguments);
        if (!result)
            throw MethodError{JsonRPC::invalidParams, "no tool named '" + name->get<std::string>() + "'"};
        return std::move(*result);
    }
    throw MethodError{JsonRPC::methodNotFound, "no method '" + method + "'"};
}

Json MCPServer::initialize(const Json& params) const
{
    const auto requested = params.find("protocolVersion");
    if (requested == params.end() || !requested->is_string())
        throw MethodError{JsonRPC::invalidParams, "initialize needs the client's \"protocolVersion\""};
    // The version asked for when it is spoken here, else the newest spoken: the client then
    // decides whether it can go on.
    const auto& spoken = protocolVersions();
    const bool known = std::find(spoken.begin(), spoken.end(), *requested) != spoken.end();
    return Json{{"protocolVersion", known ? requested->get<std::string>() : spoken.front()},
                {"capabilities", {{"tools", {{"listChanged", false}}}}},
                {"serverInfo", {{"name", "velmar-computer-use"}, {"title", "Velmar Computer Use"}, {"version", version_}}},
                {"instructions", instructions}};
}

HTTPResponse MCPServer::respond(const HTTPRequest& request) const
{
    // Hosts and SDK clients send no Origin; browsers always do.
    if (const auto origin = request.headers.find("origin"); origin != request.headers.end()
        && !isLoopbackOrigin(origin->second))
        return HTTPResponse{403, JsonRPC::error(nullptr, JsonRPC::invalidRequest,
                                                "the Origin " + origin->second + " is not a page of this computer")};
    if (const auto header = request.headers.find("mcp-protocol-version"); header != request.headers.end()) {
        const auto& spoken = protocolVersions();
        if (std::find(spoken.begin(), spoken.end(), header->second) == spoken.end())
            return HTTPResponse{400, JsonRPC::error(nullptr, JsonRPC::invalidRequest,
                                                    "MCP-Protocol-Version is not one of " + spokenVersions())};
    }
    Reply reply = receive(request.body);
    switch (reply.kind) {
    case Reply::Kind::answer:
        return HTTPResponse{200, std::move(reply.message)};
    case Reply::Kind::refusal:
        return HTTPResponse{400, std::move(reply.message)};
    case Reply::Kind::none:
        break;
    }
    return HTTPResponse{202, nullptr};
}
