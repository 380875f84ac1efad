#include "mcp/MCPTools.hpp"

#include "service/Service.hpp"

#include <algorithm>
#include <locale>
#include <sstream>
#include <vector>

namespace MCPTools {

namespace {

// How a route's successful answer becomes a tool result.
enum class Answer {
    // The body is the data: structuredContent, and its JSON as text for hosts that show
    // only text.
    data,
    // A picture body: the picture as image content, the rest (its geometry) as data.
    picture,
    // An input action: nothing to report but that it is done.
    done,
};

struct Tool {
    std::string name;
    std::string method;
    std::string path;
    // For the input tools, the action of POST /execute the tool names.
    std::string action;
    Answer answer;
    Json definition;
};

Json schema(const char* json)
{
    return *readJson(json);
}

// An object schema: these properties, and the names of those required.
Json objectSchema(Json properties, std::vector<std::string> required = {})
{
    Json object = {{"type", "object"}, {"properties", std::move(properties)}};
    if (!required.empty())
        object["required"] = std::move(required);
    return object;
}

// The point properties shared by the pointer tools, with `more` beside them. The
// descriptions repeat the coordinate space on every tool because a model reads one tool's
// schema at a time.
Json pointProperties(const char* more = "{}")
{
    Json properties = schema(R"({
        "x": {"type": "number", "description": "horizontal position in points, from the left edge of the main display; clamped to the display"},
        "y": {"type": "number", "description": "vertical position in points, from the top edge of the main display; clamped to the display"}
    })");
    properties.update(schema(more));
    return properties;
}

const char* const keysSchema = R"({
    "type": "object",
    "properties": {
        "keys": {
            "type": "array", "minItems": 1, "items": {"type": "string"},
            "description": "key names, modifiers first: \"cmd\" (the shortcut modifier: Control on Linux), \"ctrl\", \"control\", \"shift\", \"alt\"/\"option\"; letters, digits and punctuation as themselves; \"return\", \"tab\", \"space\", \"backspace\", \"esc\", \"del\", \"home\", \"end\", \"pageup\", \"pagedown\", \"left\", \"right\", \"up\", \"down\", \"f1\" to \"f15\""
        }
    },
    "required": ["keys"]
})";

const char* const statusOutput = R"({
    "type": "object",
    "required": ["display", "screen", "screen_detail", "capture", "accessibility", "microphone", "pid", "version"],
    "properties": {
        "display": {
            "type": "object", "required": ["width", "height", "scale"],
            "description": "the main display: size in points, device pixels per point",
            "properties": {"width": {"type": "integer"}, "height": {"type": "integer"}, "scale": {"type": "number"}}
        },
        "screen": {"type": "string", "enum": ["granted", "denied", "unknown"], "description": "whether the screen may be captured"},
        "screen_detail": {"type": "string", "description": "why the screen state is what it is; usually empty"},
        "capture": {"type": "string", "description": "the capture path in use"},
        "accessibility": {"type": "boolean", "description": "whether mouse and keyboard input may be posted"},
        "microphone": {"type": "string", "enum": ["granted", "denied", "unknown"]},
        "pid": {"type": "integer"},
        "version": {"type": "string"}
    }
})";

const char* const windowListOutput = R"({
    "type": "object",
    "required": ["windows", "capture"],
    "properties": {
        "windows": {
            "type": "array",
            "description": "front to back",
            "items": {
                "type": "object",
                "required": ["id", "pid", "app", "bundle_id", "title", "bounds", "layer", "on_screen"],
                "properties": {
                    "id": {"type": "integer", "description": "what screenshot_window takes"},
                    "pid": {"type": "integer", "description": "the owning process, 0 when unknown"},
                    "app": {"type": "string"},
                    "bundle_id": {"type": "string"},
                    "title": {"type": "string"},
                    "bounds": {"type": "array", "items": {"type": "number"}, "minItems": 4, "maxItems": 4,
                               "description": "[x, y, width, height] in points"},
                    "layer": {"type": "integer"},
                    "on_screen": {"type": "boolean"}
                }
            }
        },
        "capture": {"type": "string"}
    }
})";

const char* const pictureProperties = R"({
    "mime": {"type": "string", "enum": ["image/jpeg", "image/png"]},
    "width": {"type": "integer", "description": "of the picture, in pixels"},
    "height": {"type": "integer", "description": "of the picture, in pixels"},
    "scale": {"type": "number", "description": "captured pixels per point, before any reduction"},
    "capture": {"type": "string"},
    "points_per_pixel": {
        "type": "object", "required": ["x", "y"],
        "description": "multiply a picture pixel's coordinates by these to get points",
        "properties": {"x": {"type": "number"}, "y": {"type": "number"}}
    }})";

// A picture tool's geometry, the frame it shows under `frameKey`.
Json pictureOutput(const char* frameKey, const char* frameSchema)
{
    Json properties = schema(pictureProperties);
    properties[frameKey] = schema(frameSchema);
    return objectSchema(std::move(properties), {"mime", "width", "height", "scale", "capture", "points_per_pixel", frameKey});
}

const char* const audioStatusOutput = R"({
    "type": "object",
    "required": ["recording", "parts", "sequence", "level", "system_audio", "microphone", "error"],
    "properties": {
        "recording": {"type": "boolean"},
        "parts": {
            "type": "array",
            "description": "the finished part files of the current or last recording, oldest first",
            "items": {
                "type": "object",
                "required": ["sequence", "file", "started_at", "ended_at", "bytes"],
                "properties": {
                    "sequence": {"type": "integer"},
                    "file": {"type": "string"},
                    "started_at": {"type": "string"},
                    "ended_at": {"type": "string"},
                    "bytes": {"type": "integer"}
                }
            }
        },
        "sequence": {"type": "integer", "description": "parts opened so far"},
        "level": {"type": "number", "description": "recent loudness of the mix, 0 to 1"},
        "system_audio": {"type": "string", "description": "\"off\", \"on\" or \"error: \" and why"},
        "microphone": {"type": "string", "description": "\"off\", \"on\" or \"error: \" and why"},
        "error": {"type": "string", "description": "the failure that ended the recording, or empty"},
        "directory": {"type": "string"},
        "last_audio_at": {"type": "string"},
        "last_system_audio_at": {"type": "string"},
        "last_microphone_audio_at": {"type": "string"}
    }
})";

const char* const noArguments = R"({"type": "object", "properties": {}})";

Json definition(const char* name, const char* title, const char* description, Json input, bool readOnly,
                const Json& output = nullptr)
{
    Json tool = {{"name", name},
                 {"title", title},
                 {"description", description},
                 {"inputSchema", std::move(input)},
                 {"annotations", {{"title", title}, {"readOnlyHint", readOnly}, {"openWorldHint", false}}}};
    if (!output.is_null())
        tool["outputSchema"] = output;
    return tool;
}

Tool route(const char* method, const char* path, Answer answer, Json definition)
{
    return Tool{definition["name"], method, path, "", answer, std::move(definition)};
}

Tool action(const char* name, Json definition)
{
    return Tool{definition["name"], "POST", "/execute", name, Answer::done, std::move(definition)};
}

// One tool per input action rather than one tool with an action enum: each schema then
// requires exactly what its action needs (a click cannot be sent without x and y, a chord
// without keys), the name a model picks is the verb it means, and no parameter of one
// action sits beside another's for a model to mix up. The action aliases of the route
// ("hover", "left_click", ...) stay route-only: one name per gesture is easier to choose.
std::vector<Tool> makeTools()
{
    const Json point = objectSchema(pointProperties(), {"x", "y"});
    std::vector<Tool> tools;
    tools.push_back(route("GET", "/status", Answer::data,
        definition("get_status", "Status and permissions",
                   "The main display's size in points (the coordinate space of every mouse tool), whether the screen "
                   "may be captured, whether input may be posted, the microphone's state, the process id and the "
                   "version.",
                   schema(noArguments), true, schema(statusOutput))));
    tools.push_back(route("POST", "/request", Answer::data,
        definition("request_permission", "Ask for a permission",
                   "Asks the user to grant screen capture, input control or the microphone, then answers the status "
                   "as get_status does. Where the desktop has nothing to ask, the states are answered as they are.",
                   schema(R"({
                       "type": "object",
                       "properties": {
                           "what": {"type": "string", "enum": ["screen", "accessibility", "microphone"],
                                    "description": "screen capture, input control (accessibility) or the microphone"},
                           "pane": {"type": "boolean", "default": false,
                                    "description": "also open the settings page for screen or accessibility"}
                       },
                       "required": ["what"]
                   })"),
                   false, schema(statusOutput))));
    tools.push_back(route("POST", "/screenshot", Answer::picture,
        definition("screenshot", "Screenshot of the display",
                   "A picture of the main display, mouse pointer included, reduced to at most max_pixels. The mouse "
                   "tools take points: multiply a picture pixel's x and y by points_per_pixel to get the point to "
                   "click.",
                   schema(R"({
                       "type": "object",
                       "properties": {
                           "format": {"type": "string", "enum": ["jpeg", "png"], "default": "jpeg"},
                           "quality": {"type": "number", "minimum": 30, "maximum": 100, "default": 80,
                                       "description": "JPEG quality in percent"},
                           "max_pixels": {"type": "integer", "minimum": 10000, "maximum": 50000000, "default": 2000000,
                                          "description": "the most pixels the picture may have; a larger display is scaled down"},
                           "width": {"type": "integer", "minimum": 0, "maximum": 20000,
                                     "description": "with height, the exact picture size in pixels instead of max_pixels"},
                           "height": {"type": "integer", "minimum": 0, "maximum": 20000}
                       }
                   })"),
                   true,
                   pictureOutput("screen", R"({"type": "object", "required": ["width", "height"],
                                               "description": "the main display in points",
                                               "properties": {"width": {"type": "integer"}, "height": {"type": "integer"}}})"))));
    tools.push_back(route("GET", "/windows", Answer::data,
        definition("list_windows", "List windows",
                   "The windows on the desktop, front to back: id, owning process, application, title and bounds "
                   "[x, y, width, height] in points. Pass an id to screenshot_window.",
                   schema(noArguments), true, schema(windowListOutput))));
    tools.push_back(route("POST", "/window", Answer::picture,
        definition("screenshot_window", "Screenshot of one window",
                   "A picture of one window, whole even where other windows cover it. The point of a picture pixel "
                   "is (window.x + x * points_per_pixel.x, window.y + y * points_per_pixel.y).",
                   schema(R"({
                       "type": "object",
                       "properties": {
                           "id": {"type": "integer", "minimum": 1, "maximum": 4294967295, "description": "a window id from list_windows"},
                           "format": {"type": "string", "enum": ["png", "jpeg"], "default": "png"},
                           "quality": {"type": "number", "minimum": 30, "maximum": 100, "default": 80,
                                       "description": "JPEG quality in percent"},
                           "max_pixels": {"type": "integer", "minimum": 0, "maximum": 50000000, "default": 0,
                                          "description": "the most pixels the picture may have; 0 is full resolution"}
                       },
                       "required": ["id"]
                   })"),
                   true,
                   pictureOutput("window", R"({"type": "object", "required": ["id", "x", "y", "width", "height"],
                                               "description": "the window's id and frame in points",
                                               "properties": {"id": {"type": "integer"}, "x": {"type": "integer"}, "y": {"type": "integer"},
                                                              "width": {"type": "integer"}, "height": {"type": "integer"}}})"))));

    tools.push_back(action("click", definition("click", "Click",
        "Clicks the left mouse button once at a point, in points of the main display.", point, false)));
    tools.push_back(action("double_click", definition("double_click", "Double-click",
        "Clicks the left mouse button twice in quick succession at a point, as to open a file.", point, false)));
    tools.push_back(action("right_click", definition("right_click", "Right-click",
        "Clicks the right mouse button once at a point, usually for a context menu.", point, false)));
    tools.push_back(action("middle_click", definition("middle_click", "Middle-click",
        "Clicks the middle mouse button once at a point.", point, false)));
    tools.push_back(action("move", definition("move_mouse", "Move the pointer",
        "Moves the pointer to a point without clicking, to hover over something.", point, false)));
    tools.push_back(action("drag", definition("drag", "Drag",
        "Presses the left mouse button at (x, y), moves to (x2, y2) and releases it there.",
        objectSchema(pointProperties(R"({
            "x2": {"type": "number", "description": "where the drag ends, horizontally, in points"},
            "y2": {"type": "number", "description": "where the drag ends, vertically, in points"}})"),
                     {"x", "y", "x2", "y2"}),
        false)));
    tools.push_back(action("scroll", definition("scroll", "Scroll",
        "Scrolls with the mouse wheel. With x and y the pointer moves there first, so that the scroll reaches "
        "what is under it.",
        objectSchema(pointProperties(R"({
            "dy": {"type": "number", "minimum": -3000, "maximum": 3000, "default": 300,
                   "description": "pixels to scroll: positive scrolls down, negative up"}})")),
        false)));
    tools.push_back(action("type", definition("type_text", "Type text",
        "Types text into whatever has the keyboard focus, exactly as given (any Unicode). Click the field first.",
        schema(R"({
            "type": "object",
            "properties": {
                "text": {"type": "string", "minLength": 1},
                "clear": {"type": "boolean", "default": false, "description": "select all first, so the text replaces the field's content"},
                "submit": {"type": "boolean", "default": false, "description": "press Return after the text"}
            },
            "required": ["text"]
        })"),
        false)));
    tools.push_back(action("key", definition("press_keys", "Press a key or shortcut",
        "Presses a key or a chord and lets go of it, modifiers first: [\"return\"], [\"cmd\", \"c\"] to copy, "
        "[\"alt\", \"f4\"].",
        schema(keysSchema), false)));
    tools.push_back(action("press", definition("hold_keys", "Hold keys down",
        "Presses keys and keeps them down (for example shift for a shift-click) until release_keys; they are "
        "released when the session ends too.",
        schema(keysSchema), false)));
    tools.push_back(action("release", definition("release_keys", "Release held keys",
        "Lets go of keys held by hold_keys.", schema(keysSchema), false)));
    tools.push_back(action("wait", definition("wait", "Wait",
        "Waits, for the desktop to settle after an action (a window opening, a page loading).",
        schema(R"({"type": "object", "properties": {
            "seconds": {"type": "number", "minimum": 0.2, "maximum": 10, "default": 1}}})"),
        true)));

    tools.push_back(route("POST", "/audio/start", Answer::data,
        definition("start_audio_recording", "Start recording audio",
                   "Starts recording what the computer plays, mixed with the microphone unless that is turned off, "
                   "into AAC files (.m4a) in a directory, one file for every part_seconds. Answers the recording's "
                   "status.",
                   schema(R"({
                       "type": "object",
                       "properties": {
                           "directory": {"type": "string", "pattern": "^/", "description": "an absolute path; created when missing"},
                           "part_seconds": {"type": "number", "minimum": 10, "maximum": 300, "default": 60},
                           "microphone": {"type": "boolean", "default": true, "description": "also record the microphone"}
                       },
                       "required": ["directory"]
                   })"),
                   false, schema(audioStatusOutput))));
    tools.push_back(route("POST", "/audio/stop", Answer::data,
        definition("stop_audio_recording", "Stop recording audio",
                   "Stops the recording; its last part file is finished and listed with the others.",
                   schema(noArguments), false, schema(audioStatusOutput))));
    tools.push_back(route("GET", "/audio/status", Answer::data,
        definition("audio_recording_status", "Audio recording status",
                   "Whether a recording runs, its finished part files, the recent sound level and each source's "
                   "state.",
                   schema(noArguments), true, schema(audioStatusOutput))));
    return tools;
}

const std::vector<Tool>& tools()
{
    static const std::vector<Tool> table = makeTools();
    return table;
}

Json textContent(std::string text)
{
    return Json{{"type", "text"}, {"text", std::move(text)}};
}

std::string decimal(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

// The picture leaves the body as image content, moved rather than copied: it can be
// megabytes. What stays is its geometry, with the factor from picture pixels to points.
Json pictureResult(Json body, const std::string& frameKey)
{
    const bool screen = frameKey == "screen";
    Json image = {{"type", "image"}, {"mimeType", body["mime"]}, {"data", std::move(body["base64"])}};
    body.erase("base64");
    const Json& frame = body[frameKey];
    const double width = body["width"].get<double>();
    const double height = body["height"].get<double>();
    const double perPixelX = width > 0 ? frame["width"].get<double>() / width : 1.0;
    const double perPixelY = height > 0 ? frame["height"].get<double>() / height : 1.0;
    body["points_per_pixel"] = {{"x", perPixelX}, {"y", perPixelY}};

    std::string summary = std::string(screen ? "The main display" : "The window")
        + ", " + decimal(frame["width"].get<double>()) + "x" + decimal(frame["height"].get<double>())
        + " points, as a " + decimal(width) + "x" + decimal(height) + " pixel picture. A picture pixel (px, py) is the point ";
    if (screen)
        summary += "(px * " + decimal(perPixelX) + ", py * " + decimal(perPixelY) + ").";
    else
        summary += "(" + decimal(frame["x"].get<double>()) + " + px * " + decimal(perPixelX) + ", "
            + decimal(frame["y"].get<double>()) + " + py * " + decimal(perPixelY) + ").";
    return Json{{"content", Json::array({std::move(image), textContent(summary + " " + writeJson(body))})},
                {"structuredContent", std::move(body)},
                {"isError", false}};
}

}

const Json& list()
{
    static const Json definitions = [] {
        Json all = Json::array();
        for (const Tool& tool : tools())
            all.push_back(tool.definition);
        return all;
    }();
    return definitions;
}

std::optional<Json> call(const Service& service, const std::string& name, const Json& arguments)
{
    const auto& table = tools();
    const auto tool = std::find_if(table.begin(), table.end(), [&](const Tool& t) { return t.name == name; });
    if (tool == table.end())
        return std::nullopt;

    HTTPResponse answer;
    if (tool->action.empty()) {
        answer = service.call(tool->method, tool->path, arguments);
    } else {
        Json body = arguments;
        body["action"] = tool->action;
        answer = service.call(tool->method, tool->path, body);
    }

    if (answer.status != 200)
        return Json{{"content", Json::array({textContent(writeJson(answer.body))})}, {"isError", true}};
    switch (tool->answer) {
    case Answer::picture:
        return pictureResult(std::move(answer.body), tool->path == "/window" ? "window" : "screen");
    case Answer::done:
        return Json{{"content", Json::array({textContent("done")})}, {"isError", false}};
    case Answer::data:
        break;
    }
    return Json{{"content", Json::array({textContent(writeJson(answer.body))})},
                {"structuredContent", std::move(answer.body)},
                {"isError", false}};
}

}
