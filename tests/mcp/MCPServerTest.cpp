#include "app/Program.hpp"
#include "mcp/MCPServer.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <set>

namespace {

Image lit(int width, int height)
{
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = static_cast<std::size_t>(width) * 4;
    image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), 200);
    return image;
}

// The whole program on the fake platform: a 1920 x 1080 display with one window.
class MCPServerTest : public testing::Test {
protected:
    MCPServerTest()
    {
        fake.displays.set(1, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
        ShareableWindow editor;
        editor.windowID = 12;
        editor.frame = Rect{100, 50, 640, 480};
        editor.title = "Editor";
        fake.screenCapture.setContent({{ShareableDisplay{1, 1920, 1080}}, {editor}});
        fake.screenCapture.setImage(lit(1920, 1080));
    }

    // The result of tools/call, checked to be a JSON-RPC answer with the request's id.
    Json call(const std::string& name, const Json& arguments)
    {
        const Json request = {{"jsonrpc", "2.0"}, {"id", 41}, {"method", "tools/call"},
                              {"params", {{"name", name}, {"arguments", arguments}}}};
        const auto reply = program.mcp().receive(writeJson(request));
        EXPECT_EQ(reply.kind, MCPServer::Reply::Kind::answer);
        EXPECT_EQ(reply.message["id"], 41);
        EXPECT_FALSE(reply.message.contains("error")) << reply.message.dump();
        return reply.message["result"];
    }

    HTTPResponse route(const std::string& method, const std::string& path, const Json& body)
    {
        return program.service().handle(HTTPRequest{method, path, {{"authorization", "Bearer secret"}}, writeJson(body)});
    }

    HTTPResponse post(const std::string& path, std::string body, std::map<std::string, std::string> headers = {})
    {
        headers.emplace("authorization", "Bearer secret");
        return program.service().handle(HTTPRequest{"POST", path, std::move(headers), std::move(body)});
    }

    FakePlatform fake;
    Program program{fake.platform(), "secret", "2.0", [] {}};
};

TEST_F(MCPServerTest, EveryToolIsDescribedForAModel)
{
    const auto reply = program.mcp().receive(R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{}})");
    const Json& tools = reply.message["result"]["tools"];
    std::set<std::string> names;
    for (const Json& tool : tools) {
        const std::string name = tool["name"];
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_GT(tool["description"].get<std::string>().size(), 20u) << name;
        EXPECT_EQ(tool["inputSchema"]["type"], "object") << name;
        EXPECT_TRUE(tool["inputSchema"]["properties"].is_object()) << name;
        if (tool.contains("outputSchema")) {
            EXPECT_EQ(tool["outputSchema"]["type"], "object") << name;
        }
        // Every required argument is one the schema describes.
        for (const Json& required : tool["inputSchema"].value("required", Json::array()))
            EXPECT_TRUE(tool["inputSchema"]["properties"].contains(required)) << name << " " << required;
    }
    const std::set<std::string> expected = {
        "get_status", "request_permission", "screenshot", "list_windows", "screenshot_window",
        "click", "double_click", "right_click", "middle_click", "move_mouse", "drag", "scroll", "type_text",
        "press_keys", "hold_keys", "release_keys", "wait",
        "start_audio_recording", "stop_audio_recording", "audio_recording_status"};
    EXPECT_EQ(names, expected);
}

// A refused or failed call is a tool result with isError carrying exactly the route's error
// body; a successful data call carries exactly the route's body as structuredContent.
TEST_F(MCPServerTest, ToolsAnswerWhatTheirRoutesAnswer)
{
    const struct {
        const char* tool;
        Json arguments;
        const char* method;
        const char* path;
        Json body;
    } cases[] = {
        {"click", Json::object(), "POST", "/execute", {{"action", "click"}}},
        {"drag", {{"x", 1}, {"y", 2}}, "POST", "/execute", {{"action", "drag"}, {"x", 1}, {"y", 2}}},
        {"press_keys", {{"keys", {"cmd", "nosuchkey"}}}, "POST", "/execute", {{"action", "key"}, {"keys", {"cmd", "nosuchkey"}}}},
        {"type_text", {{"text", ""}}, "POST", "/execute", {{"action", "type"}, {"text", ""}}},
        {"screenshot_window", Json::object(), "POST", "/window", Json::object()},
        {"screenshot_window", {{"id", 999}}, "POST", "/window", {{"id", 999}}},
        {"request_permission", {{"what", "everything"}}, "POST", "/request", {{"what", "everything"}}},
        {"start_audio_recording", {{"directory", "relative"}}, "POST", "/audio/start", {{"directory", "relative"}}},
        {"get_status", Json::object(), "GET", "/status", Json::object()},
        {"list_windows", Json::object(), "GET", "/windows", Json::object()},
        {"audio_recording_status", Json::object(), "GET", "/audio/status", Json::object()},
    };
    for (const auto& c : cases) {
        const Json result = call(c.tool, c.arguments);
        const HTTPResponse answer = route(c.method, c.path, c.body);
        const bool failed = answer.status != 200;
        EXPECT_EQ(result["isError"], failed) << c.tool;
        ASSERT_TRUE(result["content"].is_array() && !result["content"].empty()) << c.tool;
        EXPECT_EQ(result["content"][0]["type"], "text");
        const auto text = readJson(result["content"][0]["text"].get<std::string>());
        ASSERT_TRUE(text) << c.tool;
        // The pid and the sound level are the same between the two calls; nothing else moves.
        EXPECT_EQ(*text, answer.body) << c.tool;
        if (failed) {
            EXPECT_FALSE(result.contains("structuredContent")) << c.tool;
        } else {
            EXPECT_EQ(result["structuredContent"], answer.body) << c.tool;
        }
    }
}

TEST_F(MCPServerTest, InputToolsDriveTheSameInputAsTheRoute)
{
    // The tool names the action: an "action" among the arguments does not change it.
    const Json result = call("click", {{"x", 300}, {"y", 200}, {"action", "right_click"}});
    EXPECT_EQ(result, (Json{{"content", {{{"type", "text"}, {"text", "done"}}}}, {"isError", false}}));
    const auto events = fake.inputEvents.events();
    std::vector<MouseEventType> buttons;
    for (const auto& event : events)
        if (event.kind == FakeInputEvents::Kind::mouse && event.mouseType != MouseEventType::mouseMoved)
            buttons.push_back(event.mouseType);
    EXPECT_EQ(buttons, (std::vector{MouseEventType::leftMouseDown, MouseEventType::leftMouseUp}));
    EXPECT_EQ(events.back().position.x, 300);
    EXPECT_EQ(events.back().position.y, 200);

    // Keys held through the tools are the program's held keys: its clean-up lets them go.
    fake.inputEvents.clear();
    EXPECT_EQ(call("hold_keys", {{"keys", {"shift"}}})["isError"], false);
    program.cleanUp();
    const auto released = fake.inputEvents.events();
    EXPECT_TRUE(std::any_of(released.begin(), released.end(), [](const auto& event) {
        return event.kind == FakeInputEvents::Kind::key && event.direction == KeyDirection::up;
    }));

    // The permission check of the route holds for the tools.
    fake.inputEvents.clear();
    fake.privacy.trusted = false;
    const Json refused = call("click", {{"x", 1}, {"y", 1}});
    EXPECT_EQ(refused["isError"], true);
    EXPECT_EQ(*readJson(refused["content"][0]["text"].get<std::string>()),
              (Json{{"error", "accessibility_denied"}, {"message", "Accessibility is off for Velmar Computer Use"}}));
    EXPECT_TRUE(fake.inputEvents.events().empty());
}

TEST_F(MCPServerTest, AScreenshotIsAnImageWithTheGeometryToClickBy)
{
    const Json arguments = {{"max_pixels", 10'000}};
    const Json result = call("screenshot", arguments);
    const HTTPResponse answer = route("POST", "/screenshot", arguments);
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(result["isError"], false);
    const Json& image = result["content"][0];
    EXPECT_EQ(image["type"], "image");
    EXPECT_EQ(image["mimeType"], "image/jpeg");
    EXPECT_EQ(image["data"], answer.body["base64"]);

    const Json& geometry = result["structuredContent"];
    EXPECT_FALSE(geometry.contains("base64"));
    for (const char* key : {"mime", "width", "height", "scale", "capture", "screen"})
        EXPECT_EQ(geometry[key], answer.body[key]) << key;
    const double width = answer.body["width"], height = answer.body["height"];
    ASSERT_LT(width, 1920);
    EXPECT_DOUBLE_EQ(geometry["points_per_pixel"]["x"].get<double>(), 1920 / width);
    EXPECT_DOUBLE_EQ(geometry["points_per_pixel"]["y"].get<double>(), 1080 / height);
    EXPECT_EQ(result["content"][1]["type"], "text");

    const Json window = call("screenshot_window", {{"id", 12}});
    EXPECT_EQ(window["isError"], false);
    EXPECT_EQ(window["content"][0]["mimeType"], "image/png");
    EXPECT_EQ(window["structuredContent"]["window"], (Json{{"id", 12}, {"x", 100}, {"y", 50}, {"width", 640}, {"height", 480}}));
    EXPECT_DOUBLE_EQ(window["structuredContent"]["points_per_pixel"]["x"].get<double>(),
                     640.0 / window["structuredContent"]["width"].get<double>());
}

TEST_F(MCPServerTest, OverHTTPTheStatusSaysWhatKindOfMessageItWas)
{
    const std::string ping = R"({"jsonrpc":"2.0","id":"p","method":"ping"})";
    const auto answered = post("/mcp", ping, {{"mcp-protocol-version", "2025-06-18"}});
    EXPECT_EQ(answered.status, 200);
    EXPECT_EQ(answered.body, (Json{{"jsonrpc", "2.0"}, {"id", "p"}, {"result", Json::object()}}));

    const auto unknown = post("/mcp", R"({"jsonrpc":"2.0","id":2,"method":"prompts/list"})");
    EXPECT_EQ(unknown.status, 200);
    EXPECT_EQ(unknown.body["error"]["code"], -32601);

    const auto accepted = post("/mcp", R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(accepted.status, 202);
    EXPECT_TRUE(accepted.body.is_null());
    const std::string wire = serializeResponse(accepted);
    EXPECT_EQ(wire.find("Content-Type"), std::string::npos);
    EXPECT_NE(wire.find("Content-Length: 0\r\n"), std::string::npos);

    for (const std::string& body : {std::string("not json"), std::string(""), std::string("[]"),
                                    std::string(R"({"jsonrpc":"2.0","id":{},"method":"ping"})")}) {
        const auto refused = post("/mcp", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(refused.body["jsonrpc"], "2.0") << body;
        EXPECT_TRUE(refused.body["id"].is_null()) << body;
    }

    const auto wrongVersion = post("/mcp", ping, {{"mcp-protocol-version", "2024-11-05"}});
    EXPECT_EQ(wrongVersion.status, 400);
    EXPECT_EQ(wrongVersion.body["error"]["code"], -32600);

    // A browser's page is served only from this computer: a page elsewhere whose name was
    // pointed at the loopback address still names its own host.
    const struct {
        const char* origin;
        int status;
    } origins[] = {
        {"http://127.0.0.1:8123", 200}, {"http://localhost", 200}, {"https://[::1]:9", 200},
        {"http://evil.example", 403}, {"http://127.0.0.1.evil.example:80", 403}, {"http://localhost:80x", 403},
        {"null", 403}, {"file://", 403}, {"http://[::1", 403}, {"", 403},
    };
    for (const auto& c : origins) {
        const auto answer = post("/mcp", ping, {{"origin", c.origin}});
        EXPECT_EQ(answer.status, c.status) << c.origin;
        if (c.status == 403) {
            EXPECT_EQ(answer.body["error"]["code"], -32600) << c.origin;
            EXPECT_TRUE(answer.body["id"].is_null()) << c.origin;
        }
    }

    // The token guards the protocol like every route.
    const auto stranger = program.service().handle(HTTPRequest{"POST", "/mcp", {}, ping});
    EXPECT_EQ(stranger.status, 401);
    EXPECT_EQ(stranger.body, (Json{{"error", "unauthorized"}, {"message", "a bearer token is required"}}));

    const auto stream = program.service().handle(HTTPRequest{"GET", "/mcp", {{"authorization", "Bearer secret"}}, ""});
    EXPECT_EQ(stream.status, 405);
    EXPECT_EQ(stream.headers.at("Allow"), "POST");
    EXPECT_NE(serializeResponse(stream).find("\r\nAllow: POST\r\n"), std::string::npos);
}

}
