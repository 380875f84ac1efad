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
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
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
    try {
        writeJson(response.body, body);
    } catch (const std::invalid_argument&) {
        status = 500;
        body.clear();
        writeJson(errorResponse(500, "internal_error", internalErrorMessage).body, body);
    }
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status)
        + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
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
