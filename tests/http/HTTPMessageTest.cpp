#include "http/HTTPMessage.hpp"

#include <gtest/gtest.h>

#include <limits>

TEST(HTTPResponse, HeadByteForByte)
{
    EXPECT_EQ(serializeResponse(errorResponse(404, "not_found", "no route GET /x")),
              "HTTP/1.1 404 Not Found\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 50\r\n"
              "Cache-Control: no-store\r\n"
              "Connection: close\r\n"
              "\r\n"
              "{\"error\":\"not_found\",\"message\":\"no route GET \\/x\"}");
}

TEST(HTTPResponse, ReasonPhrases)
{
    const std::pair<int, const char*> cases[] = {
        {200, "OK"}, {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"}, {404, "Not Found"},
        {413, "Payload Too Large"}, {431, "Request Header Fields Too Large"}, {500, "Internal Server Error"},
        {418, "Error"}, {201, "Error"}};
    for (auto [status, phrase] : cases)
        EXPECT_EQ(serializeResponse(HTTPResponse{status, Json::object()}).rfind(
                      "HTTP/1.1 " + std::to_string(status) + " " + phrase + "\r\n", 0),
                  0u);
}

TEST(HTTPResponse, UnwritableBodyIsAServerFailureNeverASuccess)
{
    // One window title that is not UTF-8 must not turn a whole list into an empty success.
    const Json unwritable[] = {
        Json{{"x", std::numeric_limits<double>::quiet_NaN()}},
        Json{{"windows", Json::array({Json{{"title", "ok"}}, Json{{"title", std::string("caf\xe9")}}})}},
    };
    const std::string expected = serializeResponse(errorResponse(500, "internal_error", "the request failed"));
    for (const auto& body : unwritable) {
        for (const int status : {200, 404}) {
            EXPECT_EQ(serializeResponse(HTTPResponse{status, body}), expected);
        }
    }
}

TEST(HTTPResponse, FixedInternalErrorIsTheSameAnswerWrittenAhead)
{
    EXPECT_EQ(internalErrorWire(), serializeResponse(errorResponse(500, "internal_error", internalErrorMessage)));
}
