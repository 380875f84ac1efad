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

namespace {

// The bytes a connection sends for an answer written with splices: its own bytes from
// `start`, each spliced text put back where it was left out.
std::string gathered(const std::string& wire, std::size_t start, const std::vector<JsonSplice>& splices)
{
    std::string bytes;
    for (const JsonSplice& splice : splices) {
        bytes.append(wire, start, splice.at - start);
        bytes.append(reinterpret_cast<const char*>(splice.bytes.data()), splice.bytes.size());
        start = splice.at;
    }
    return bytes + wire.substr(start);
}

Json textBinary(std::size_t length, char fill)
{
    return Json::binary(std::vector<std::uint8_t>(length, static_cast<std::uint8_t>(fill)), base64TextSubtype);
}

} // namespace

TEST(HTTPResponse, SplicedAnswerSendsTheSameBytes)
{
    struct Case {
        const char* what;
        HTTPResponse response;
        std::size_t splices;
    };
    const Case cases[] = {
        {"a picture's text, with members after it", HTTPResponse{200, Json{{"base64", textBinary(spliceBytes, 'A')},
                                                                           {"height", 1080}, {"width", 1920}}}, 1},
        {"two large texts and a small one", HTTPResponse{200, Json{{"a", textBinary(spliceBytes + 7, 'B')},
                                                                   {"b", textBinary(spliceBytes - 1, 'C')},
                                                                   {"c", textBinary(3 * spliceBytes, 'D')}}}, 2},
        {"bytes to encode are never spliced",
         HTTPResponse{200, Json{{"base64", Json::binary(std::vector<std::uint8_t>(2 * spliceBytes, 0xfb))}}}, 0},
        {"an unwritable body with a large text becomes the 500, whole",
         HTTPResponse{200, Json{{"base64", textBinary(spliceBytes, 'E')},
                                {"x", std::numeric_limits<double>::quiet_NaN()}}}, 0},
    };
    for (const Case& c : cases) {
        std::string wire;
        std::vector<JsonSplice> splices;
        const std::size_t start = writeResponse(c.response, wire, &splices);
        EXPECT_EQ(splices.size(), c.splices) << c.what;
        EXPECT_EQ(gathered(wire, start, splices), serializeResponse(c.response)) << c.what;
    }
}
