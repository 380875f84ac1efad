#include "http/RequestFramer.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

// What the framer decided, reduced to something comparable.
struct Outcome {
    std::string kind; // "incomplete", "request", "error"
    HTTPRequest request;
    HTTPResponse response;
};

Outcome outcomeOf(RequestFramer::Result result)
{
    if (std::holds_alternative<RequestFramer::Incomplete>(result))
        return {"incomplete", {}, {}};
    if (auto* request = std::get_if<HTTPRequest>(&result))
        return {"request", *request, {}};
    return {"error", {}, std::get<HTTPResponse>(result)};
}

// Feeds the bytes in the given pieces, as a connection would, and stops at the first
// complete answer, as a connection does.
Outcome feed(const std::string& bytes, const std::vector<size_t>& cuts)
{
    RequestFramer framer;
    std::string buffer;
    size_t at = 0;
    for (size_t cut : cuts) {
        buffer.append(bytes, at, cut - at);
        at = cut;
        auto outcome = outcomeOf(framer.examine(buffer));
        if (outcome.kind != "incomplete")
            return outcome;
    }
    buffer.append(bytes, at);
    return outcomeOf(framer.examine(buffer));
}

// Every case is fed whole, one byte at a time and split at random points, and must give
// the same outcome each way.
std::vector<Outcome> feedEveryWay(const std::string& bytes)
{
    std::vector<Outcome> outcomes;
    outcomes.push_back(feed(bytes, {}));
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < bytes.size(); ++i)
        everyByte.push_back(i);
    outcomes.push_back(feed(bytes, everyByte));
    std::mt19937 random(7);
    for (int round = 0; round < 5; ++round) {
        std::vector<size_t> cuts;
        for (size_t i = 1; i < bytes.size(); ++i)
            if (random() % 5 == 0)
                cuts.push_back(i);
        outcomes.push_back(feed(bytes, cuts));
    }
    return outcomes;
}

} // namespace

TEST(RequestFramer, ReadsRequestsTheSameWhateverTheChunks)
{
    const struct {
        std::string bytes;
        std::string method, path, body;
        std::map<std::string, std::string> headers;
    } cases[] = {
        {"GET /status HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/status", "", {{"host", "x"}}},
        {"get /status?x=1&y=/ HTTP/1.1\r\n\r\n", "get", "/status", "", {}},
        {"GET ?only=query HTTP/1.1\r\n\r\n", "GET", "", "", {}},
        {"  POST   /execute  \r\n\r\n", "POST", "/execute", "", {}},
        {"POST /x HTTP/1.1 extra words\r\nCoNtEnT-LeNgTh:   5  \r\n\r\nhello", "POST", "/x", "hello",
         {{"content-length", "5"}}},
        {"POST /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nabEXTRA", "POST", "/x", "ab", {{"content-length", "2"}}},
        {"POST /x HTTP/1.1\r\nContent-Length: nope\r\n\r\n", "POST", "/x", "", {{"content-length", "nope"}}},
        {"POST /x HTTP/1.1\r\nContent-Length: +3\r\n\r\nabc", "POST", "/x", "abc", {{"content-length", "+3"}}},
        {"GET / HTTP/1.1\r\nAuthorization: Bearer a\r\nauthorization: Bearer b\r\n\r\n", "GET", "/", "",
         {{"authorization", "Bearer b"}}},
        {"GET / HTTP/1.1\r\nX-Time: 12:30:15\r\n::Lead: a:b\r\nEmpty:\r\nSpaces:   \r\nNoColon\r\n:\r\n\r\n",
         "GET", "/", "", {{"x-time", "12:30:15"}, {"lead", "a:b"}, {"spaces", ""}}},
        {"GET / HTTP/1.1\r\n\tName\t:\t v \r\n\r\n", "GET", "/", "", {{"name", "v"}}},
        {"GET / HTTP/1.1\r\nA: x\ny\r\n\r\n", "GET", "/", "", {{"a", "x\ny"}}},
        // Tabs do not separate the words of the request line.
        {"GET\t/ HTTP/1.1\r\n\r\n", "GET\t/", "HTTP/1.1", "", {}},
        // A length beyond 64 bits does not parse, and a length that does not parse is 0.
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "POST", "/", "",
         {{"content-length", "99999999999999999999"}}},
    };
    for (const auto& c : cases) {
        for (const auto& outcome : feedEveryWay(c.bytes)) {
            ASSERT_EQ(outcome.kind, "request") << c.bytes;
            EXPECT_EQ(outcome.request.method, c.method) << c.bytes;
            EXPECT_EQ(outcome.request.path, c.path) << c.bytes;
            EXPECT_EQ(outcome.request.body, c.body) << c.bytes;
            EXPECT_EQ(outcome.request.headers, c.headers) << c.bytes;
        }
    }
}

TEST(RequestFramer, AnswersFramingErrors)
{
    const struct {
        std::string bytes;
        int status;
        std::string error, message;
    } cases[] = {
        {"\r\n\r\n", 400, "bad_request", "no request line"},
        {"GET\r\n\r\n", 400, "bad_request", "no request line"},
        {"\r\nGET / HTTP/1.1\r\n\r\n", 400, "bad_request", "no request line"},
        {"GET /\xff HTTP/1.1\r\n\r\n", 400, "bad_request", "the request head is not UTF-8"},
        {"POST / HTTP/1.1\r\nContent-Length: 8388609\r\n\r\n", 413, "too_large", "the request body is over 8 MB"},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc", 400, "bad_request",
         "the request body length is negative"},
    };
    for (const auto& c : cases) {
        for (const auto& outcome : feedEveryWay(c.bytes)) {
            ASSERT_EQ(outcome.kind, "error") << c.bytes;
            EXPECT_EQ(outcome.response.status, c.status) << c.bytes;
            EXPECT_EQ(outcome.response.body, (Json{{"error", c.error}, {"message", c.message}})) << c.bytes;
        }
    }
}

TEST(RequestFramer, WaitsForTheWholeDeclaredBody)
{
    RequestFramer framer;
    std::string buffer = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd";
    EXPECT_TRUE(std::holds_alternative<RequestFramer::Incomplete>(framer.examine(buffer)));
    buffer += "efghij";
    auto result = framer.examine(buffer);
    ASSERT_TRUE(std::holds_alternative<HTTPRequest>(result));
    EXPECT_EQ(std::get<HTTPRequest>(result).body, "abcdefghij");
}

TEST(RequestFramer, HeadLimitIsCheckedOnlyWithoutABlankLine)
{
    const std::string atLimit(RequestFramer::maximumHeadBytes, 'a');
    RequestFramer waiting;
    EXPECT_TRUE(std::holds_alternative<RequestFramer::Incomplete>(waiting.examine(atLimit)));
    auto over = RequestFramer().examine(atLimit + "a");
    ASSERT_TRUE(std::holds_alternative<HTTPResponse>(over));
    EXPECT_EQ(std::get<HTTPResponse>(over).status, 431);

    // A long head whose blank line arrives in the chunk that crosses the limit is accepted.
    std::string head = "GET / HTTP/1.1\r\nX: " + std::string(RequestFramer::maximumHeadBytes, 'v') + "\r\n\r\n";
    EXPECT_TRUE(std::holds_alternative<HTTPRequest>(RequestFramer().examine(head)));
}

TEST(RequestFramer, DeclaredBodyLimit)
{
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: 8388608\r\n\r\n";
    RequestFramer framer;
    EXPECT_TRUE(std::holds_alternative<RequestFramer::Incomplete>(framer.examine(head)));
    std::string whole = head + std::string(8'388'608, 'b');
    auto result = framer.examine(whole);
    ASSERT_TRUE(std::holds_alternative<HTTPRequest>(result));
    EXPECT_EQ(std::get<HTTPRequest>(result).body.size(), 8'388'608u);
}
