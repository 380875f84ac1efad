#pragma once

#include "base/Json.hpp"
#include "http/HTTPMessage.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>

// The request handler: checks the bearer token, reads the body as a JSON object and runs
// the endpoint routed by method and path. It never ends the process.
class Service {
public:
    // Endpoints take the request's body object and answer; they catch their own errors, and
    // whatever escapes them still becomes an answer.
    using Endpoint = std::function<HTTPResponse(const Json& body)>;
    // An endpoint that reads the request itself, headers and body as they came: a protocol
    // that carries its own error answers in the body (MCP's JSON-RPC) must see a body that
    // is no JSON object. The token is checked before it runs, like any other.
    using RequestEndpoint = std::function<HTTPResponse(const HTTPRequest& request)>;

    Service(std::string token, std::string version);

    // Adds a row to the route table. Method and path are compared exactly.
    void route(std::string method, std::string path, Endpoint endpoint);
    void route(std::string method, std::string path, RequestEndpoint endpoint);

    // Every answer of the service, the safety net's 500 "internal_error" included. It throws
    // only when even that small answer cannot be built.
    HTTPResponse handle(const HTTPRequest& request) const;

    // Runs the endpoint routed by method and path for a caller inside the process that has
    // nothing to authenticate (the MCP tools, already past the token or speaking on the
    // pipe of the host that started the process), with the body as a value: the same
    // endpoint and the same safety net as a request. 404 "not_found" when no endpoint of the
    // table takes a JSON body there.
    HTTPResponse call(const std::string& method, const std::string& path, const Json& body) const;

    const std::string& version() const { return version_; }

    // The one way to build an error answer.
    static HTTPResponse failure(int status, std::string code, std::string message);

    // The member `key` of an object, or nullptr when it is missing (or `body` is no object).
    static const Json* member(const Json& body, const std::string& key);

    // Lenient numeric parameters: JSON numbers, booleans as 1 and 0, and strings that the C
    // library reads whole as a double in the C locale. Nothing for anything else.
    static std::optional<double> number(const Json* value);
    // number(), then clamped to [min, max] and truncated toward zero; nothing for a
    // missing value, a NaN or an infinity.
    static std::optional<std::int64_t> integer(const Json* value, double min, double max);

private:
    HTTPResponse dispatch(const HTTPRequest& request) const;

    std::string token_;
    std::string version_;
    HTTPResponse run(const std::string& method, const std::string& path, const Json& body) const;

    std::map<std::pair<std::string, std::string>, std::variant<Endpoint, RequestEndpoint>> routes_;
};
