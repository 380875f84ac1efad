#include "http/HTTPMessage.hpp"

#include <cstring>
#include <map>
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

namespace {

std::string head(int status, bool hasBody, std::size_t bodyLength, const std::map<std::string, std::string>& extra)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (hasBody)
        head += "Content-Type: application/json; charset=utf-8\r\n";
    head += "Content-Length: " + std::to_string(bodyLength) + "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    for (const auto& [name, value] : extra)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    return head;
}

} // namespace

std::size_t writeResponse(const HTTPResponse& response, std::string& wire, std::vector<JsonSplice>* splices)
{
    bool hasBody = !response.body.is_null();
    // The body is written after room for the head, which then goes just before it: a
    // picture's body is megabytes, and moving it (or a second string for the whole answer)
    // would copy it again. The head's length is known but for the body's length.
    const std::size_t room = head(response.status, hasBody, 0, response.headers).size() + 20;
    wire.assign(room, ' ');
    int status = response.status;
    static const std::map<std::string, std::string> noHeaders;
    const std::map<std::string, std::string>* headers = &response.headers;
    try {
        if (hasBody && splices)
            writeJson(response.body, wire, *splices);
        else if (hasBody)
            writeJson(response.body, wire);
    } catch (const std::invalid_argument&) {
        if (splices)
            splices->clear();
        wire.assign(room, ' ');
        writeJson(errorResponse(500, "internal_error", internalErrorMessage).body, wire);
        status = 500;
        hasBody = true;
        // The extra headers belong to the answer that was built, not to the one put in its place.
        headers = &noHeaders;
    }
    std::size_t bodyLength = wire.size() - room;
    if (splices)
        for (const JsonSplice& splice : *splices)
            bodyLength += splice.bytes.size();
    const std::string text = head(status, hasBody, bodyLength, *headers);
    std::memcpy(wire.data() + room - text.size(), text.data(), text.size());
    return room - text.size();
}

std::string serializeResponse(const HTTPResponse& response)
{
    std::string wire;
    wire.erase(0, writeResponse(response, wire));
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
