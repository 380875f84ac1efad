#include "mcp/JsonRPC.hpp"
#include "mcp/MCPServer.hpp"
#include "service/Service.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every malformed message gets the protocol's error with the id when one can be read, and
// the server goes on: the next message is answered.
TEST(JsonRPC, MalformedMessagesGetTheProtocolsErrors)
{
    using namespace std::string_literals;
    // A message that is no readable request is refused (400 over HTTP); a request whose
    // method fails is answered (200).
    constexpr auto refused = MCPServer::Reply::Kind::refusal;
    constexpr auto answered = MCPServer::Reply::Kind::answer;
    const struct {
        std::string text;
        int code;
        Json id;
        MCPServer::Reply::Kind kind;
    } cases[] = {
        {"", JsonRPC::parseError, nullptr, refused},
        {"{", JsonRPC::parseError, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"} x", JsonRPC::parseError, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"p\xff\"}", JsonRPC::parseError, nullptr, refused}, // not UTF-8
        {"{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}", JsonRPC::parseError, nullptr, refused}, // too deep
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\0"s, JsonRPC::parseError, nullptr, refused},
        {"[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}]", JsonRPC::invalidRequest, nullptr, refused}, // a batch
        {"[]", JsonRPC::invalidRequest, nullptr, refused},
        {"3", JsonRPC::invalidRequest, nullptr, refused},
        {"\"ping\"", JsonRPC::invalidRequest, nullptr, refused},
        {"null", JsonRPC::invalidRequest, nullptr, refused},
        {"{}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"id\":7,\"method\":\"ping\"}", JsonRPC::invalidRequest, 7, refused},
        {"{\"jsonrpc\":\"1.0\",\"id\":\"a\",\"method\":\"ping\"}", JsonRPC::invalidRequest, "a", refused},
        {"{\"jsonrpc\":2.0,\"id\":7,\"method\":\"ping\"}", JsonRPC::invalidRequest, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":1.5,\"method\":\"ping\"}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":[1],\"method\":\"ping\"}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":true,\"method\":\"ping\"}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7}", JsonRPC::invalidRequest, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":3}", JsonRPC::invalidRequest, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":null}", JsonRPC::invalidRequest, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\",\"params\":[1]}", JsonRPC::invalidParams, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\",\"params\":\"x\"}", JsonRPC::invalidParams, 7, refused},
        {"{\"jsonrpc\":\"2.0\",\"method\":\"notifications/x\",\"params\":3}", JsonRPC::invalidRequest, nullptr, refused},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"resources/list\"}", JsonRPC::methodNotFound, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":\"x\",\"method\":\"Ping\"}", JsonRPC::methodNotFound, "x", answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"initialize\",\"params\":{}}", JsonRPC::invalidParams, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"initialize\",\"params\":{\"protocolVersion\":20250618}}",
         JsonRPC::invalidParams, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\"}", JsonRPC::invalidParams, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":[\"click\"]}}", JsonRPC::invalidParams, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":\"format_disk\"}}",
         JsonRPC::invalidParams, 7, answered},
        {"{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":\"click\",\"arguments\":[1,2]}}",
         JsonRPC::invalidParams, 7, answered},
    };
    Service service("token", "1.0");
    const MCPServer server(service, "1.0");
    for (const auto& c : cases) {
        const auto reply = server.receive(c.text);
        ASSERT_TRUE(reply.message.is_object() && reply.message.contains("error")) << c.text.substr(0, 80);
        EXPECT_EQ(reply.message["jsonrpc"], "2.0");
        EXPECT_EQ(reply.message["error"]["code"], c.code) << c.text.substr(0, 80);
        EXPECT_FALSE(reply.message["error"]["message"].get<std::string>().empty());
        EXPECT_EQ(reply.message["id"], c.id) << c.text.substr(0, 80);
        EXPECT_EQ(reply.kind, c.kind) << c.text.substr(0, 80);
        EXPECT_EQ(server.receive(R"({"jsonrpc":"2.0","id":8,"method":"ping"})").message,
                  (Json{{"jsonrpc", "2.0"}, {"id", 8}, {"result", Json::object()}}));
    }
}

TEST(JsonRPC, NotificationsAndClientResponsesGetNoAnswer)
{
    Service service("token", "1.0");
    const MCPServer server(service, "1.0");
    for (const char* text : {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                             R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":3}})",
                             R"({"jsonrpc":"2.0","method":"no/such/notification"})",
                             R"({"jsonrpc":"2.0","id":5,"result":{}})",
                             R"({"jsonrpc":"2.0","id":"s","error":{"code":-1,"message":"no"}})"}) {
        const auto reply = server.receive(text);
        EXPECT_EQ(reply.kind, MCPServer::Reply::Kind::none) << text;
    }
}

TEST(JsonRPC, IdsComeBackAsSent)
{
    Service service("token", "1.0");
    const MCPServer server(service, "1.0");
    for (const Json& id : {Json(0), Json(-4), Json(18446744073709551615ull), Json(""), Json("r-1")}) {
        const Json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", "ping"}};
        EXPECT_EQ(server.receive(writeJson(request)).message["id"], id) << id.dump();
    }
}

TEST(JsonRPC, VersionNegotiation)
{
    const struct {
        const char* requested;
        const char* answered;
    } cases[] = {
        {"2025-11-25", "2025-11-25"},
        {"2025-06-18", "2025-06-18"},
        // Older and newer versions are answered with the newest spoken here; the client decides.
        {"2025-03-26", "2025-11-25"},
        {"2024-11-05", "2025-11-25"},
        {"2099-01-01", "2025-11-25"},
        {"", "2025-11-25"},
    };
    Service service("token", "4.5.6");
    const MCPServer server(service, "4.5.6");
    for (const auto& c : cases) {
        const Json request = {{"jsonrpc", "2.0"},
                              {"id", 1},
                              {"method", "initialize"},
                              {"params", {{"protocolVersion", c.requested},
                                          {"capabilities", Json::object()},
                                          {"clientInfo", {{"name", "test"}, {"version", "1"}}}}}};
        const auto reply = server.receive(writeJson(request));
        ASSERT_EQ(reply.kind, MCPServer::Reply::Kind::answer);
        const Json& result = reply.message["result"];
        EXPECT_EQ(result["protocolVersion"], c.answered) << c.requested;
        EXPECT_EQ(result["capabilities"], (Json{{"tools", {{"listChanged", false}}}}));
        EXPECT_EQ(result["serverInfo"]["version"], "4.5.6");
        EXPECT_EQ(result["serverInfo"]["name"], "velmar-computer-use");
    }
}

}
