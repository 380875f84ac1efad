#include "service/Service.hpp"

#include "base/Text.hpp"

#include <cmath>

Service::Service(std::string token, std::string version)
    : token_(std::move(token)), version_(std::move(version))
{
}

void Service::route(std::string method, std::string path, Endpoint endpoint)
{
    routes_[{std::move(method), std::move(path)}] = std::move(endpoint);
}

void Service::route(std::string method, std::string path, RequestEndpoint endpoint)
{
    routes_[{std::move(method), std::move(path)}] = std::move(endpoint);
}

HTTPResponse Service::handle(const HTTPRequest& request) const
{
    try {
        return dispatch(request);
    } catch (...) {
        // Whatever an endpoint lets through, running out of memory included, is answered;
        // a library's own text (std::bad_alloc, say) tells the caller nothing.
        return failure(500, "internal_error", internalErrorMessage);
    }
}

HTTPResponse Service::dispatch(const HTTPRequest& request) const
{
    const auto authorization = request.headers.find("authorization");
    if (authorization == request.headers.end()
        || !constantTimeEquals(authorization->second, "Bearer " + token_))
        return failure(401, "unauthorized", "a bearer token is required");

    const auto row = routes_.find({request.method, request.path});
    if (row != routes_.end()) {
        if (const auto* endpoint = std::get_if<RequestEndpoint>(&row->second))
            return (*endpoint)(request);
    }

    Json body = Json::object();
    if (!request.body.empty()) {
        auto parsed = readJson(request.body);
        if (!parsed || !parsed->is_object())
            return failure(400, "bad_request", "the body must be a JSON object");
        body = std::move(*parsed);
    }
    return run(request.method, request.path, body);
}

HTTPResponse Service::call(const std::string& method, const std::string& path, const Json& body) const
{
    try {
        return run(method, path, body);
    } catch (...) {
        return failure(500, "internal_error", internalErrorMessage);
    }
}

HTTPResponse Service::run(const std::string& method, const std::string& path, const Json& body) const
{
    const auto row = routes_.find({method, path});
    const auto* endpoint = row == routes_.end() ? nullptr : std::get_if<Endpoint>(&row->second);
    if (!endpoint)
        return failure(404, "not_found", "no route " + method + " " + path);
    return (*endpoint)(body);
}

HTTPResponse Service::failure(int status, std::string code, std::string message)
{
    return errorResponse(status, std::move(code), std::move(message));
}

const Json* Service::member(const Json& body, const std::string& key)
{
    if (!body.is_object())
        return nullptr;
    const auto found = body.find(key);
    return found == body.end() ? nullptr : &*found;
}

std::optional<double> Service::number(const Json* value)
{
    if (!value)
        return std::nullopt;
    if (value->is_number())
        return value->get<double>();
    if (value->is_boolean())
        return value->get<bool>() ? 1.0 : 0.0;
    if (value->is_string())
        return parseCDouble(value->get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<std::int64_t> Service::integer(const Json* value, double min, double max)
{
    auto read = number(value);
    if (!read || !std::isfinite(*read))
        return std::nullopt;
    const double clamped = std::trunc(std::fmin(std::fmax(*read, min), max));
    // Out of the 64-bit range the conversion is undefined: saturate instead.
    if (clamped >= 0x1p63)
        return INT64_MAX;
    if (clamped < -0x1p63)
        return INT64_MIN;
    return static_cast<std::int64_t>(clamped);
}
