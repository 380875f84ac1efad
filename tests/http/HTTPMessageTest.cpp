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

TEST(HTTPResponse, UnwritableBodyGoesOutAsEmptyObject)
{
    const auto wire = serializeResponse(HTTPResponse{200, Json{{"x", std::numeric_limits<double>::quiet_NaN()}}});
    EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n{}");
    EXPECT_NE(wire.find("Content-Length: 2\r\n"), std::string::npos);
}
