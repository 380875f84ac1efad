#pragma once

#include "base/Json.hpp"

#include <functional>
#include <map>
#include <string>
#include <string_view>

// One request as the handler sees it.
struct HTTPRequest {
    std::string method;                         // the request line's first word, case kept
    std::string path;                           // the target before its first "?", not decoded
    std::map<std::string, std::string> headers; // names lower-cased; names and values trimmed
    std::string body;                           // exactly Content-Length bytes
};

// One answer: a status and a JSON object.
struct HTTPResponse {
    int status = 200;
    // Null sends no body at all and no Content-Type: a 202 that accepts a message carries
    // nothing to read.
    Json body = Json::object();
    // Headers beyond the fixed ones every answer carries, such as the Allow of a 405.
    std::map<std::string, std::string> headers = {};
};

using HTTPHandler = std::function<HTTPResponse(const HTTPRequest&)>;

// The error body shared by the whole system: exactly `error` and `message`.
HTTPResponse errorResponse(int status, std::string code, std::string message);

const char* reasonPhrase(int status);

// The bytes on the wire: head and compact JSON body. A body that cannot be written as JSON
// (a text that is not UTF-8, a NaN) is a failure of the server, not a success with nothing
// in it: it goes out as the 500 "internal_error" answer below. Throws std::bad_alloc.
std::string serializeResponse(const HTTPResponse& response);
// The same bytes written into `wire`, which they end; returns where they begin. The body is
// written once, in place: the bytes before it are room the head did not need. With
// `splices`, a large text the body holds as it stands (a picture's) is left out of `wire`
// and listed there, to be sent from the body, which must then outlive the sending.
std::size_t writeResponse(const HTTPResponse& response, std::string& wire, std::vector<JsonSplice>* splices = nullptr);

// The one sentence of the 500 "internal_error" answer, given when a request failed in a way
// nothing else answered.
inline constexpr const char* internalErrorMessage = "the request failed";
// That answer's bytes on the wire, fixed in advance: sending them needs no memory, so they
// still go out when memory has run out.
std::string_view internalErrorWire();
