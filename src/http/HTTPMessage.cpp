#include "http/HTTPMessage.hpp"

#include <stdexcept>

HTTPResponse errorResponse(int status, std::string code, std::string message)
{
    return HTTPResponse{status, Json{{"error", std::move(code)}, {"message", std::move(message)}}};
}

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Error";
    }
}

std::string serializeResponse(const HTTPResponse& response)
{
    int status = response.status;
    std::string body;
    const bool hasBody = !response.body.is_null();
    bool replaced = false;
    try {
        if (hasBody)
            writeJson(response.body, body);
    } catch (const std::invalid_argument&) {
        status = 500;
        body.clear();
        writeJson(errorResponse(500, "internal_error", internalErrorMessage).body, body);
        replaced = true;
    }
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (hasBody)
        head += "Content-Type: application/json; charset=utf-8\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    // The extra headers belong to the answer that was built, not to the one put in its place.
    if (!replaced) {
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
    }
    head += "\r\n";
    // One allocation for the whole answer: a picture's body can be megabytes.
    std::string wire;
    wire.reserve(head.size() + body.size());
    wire.append(head).append(body);
    return wire;
}

std::string_view internalErrorWire()
{
    static constexpr char wire[] = "HTTP/1.1 500 Internal Server Error\r\n"
                                   "Content-Type: application/json; charset=utf-8\r\n"
                                   "Content-Length: 57\r\n"
                                   "Cache-Control: no-store\r\n"
                                   "Connection: close\r\n"
                                   "\r\n"
                                   "{\"error\":\"internal_error\",\"message\":\"the request failed\"}";
    return {wire, sizeof wire - 1};
}
