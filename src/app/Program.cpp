#include "app/Program.hpp"

#include "app/Quit.hpp"
#include "app/Status.hpp"
#include "audio/AudioEndpoints.hpp"
#include "audio/AudioRecorder.hpp"
#include "input/ExecuteEndpoint.hpp"
#include "input/Input.hpp"
#include "permissions/Permissions.hpp"
#include "permissions/RequestEndpoint.hpp"
#include "platform/Platform.hpp"
#include "screenshot/PictureEndpoints.hpp"

Program::Program(Platform& platform, std::string token, std::string version, std::function<void()> end)
    : platform_(platform), service_(std::move(token), std::move(version)), mcp_(service_, service_.version()),
      end_(std::move(end)),
      permissions_(std::make_shared<Permissions>(platform)), input_(std::make_shared<Input>(platform)),
      recorder_(AudioRecorder::make(platform, *permissions_))
{
    installRoutes();
}

Program::~Program() = default;

void Program::cleanUp()
{
    // Each step runs whatever the one before met: a desktop that went away holds no keys,
    // and the recording must still be finished.
    try {
        input_->releaseAll();
    } catch (...) {
    }
    recorder_->stop();
}

void Program::installRoutes()
{
    Platform& platform = platform_;
    Permissions& permissions = *permissions_;
    Input& input = *input_;
    AudioRecorder& recorder = *recorder_;
    const auto status = [this] { return statusReport(platform_, *permissions_, service_.version()); };

    service_.route("GET", "/status", [status](const Json&) { return HTTPResponse{200, status()}; });
    service_.route("POST", "/request", [&permissions, status](const Json& body) {
        return requestPermission(body, permissions, status);
    });

    service_.route("POST", "/screenshot", [&platform, &permissions](const Json& body) {
        return PictureEndpoints::screenshot(platform, permissions, body);
    });
    service_.route("POST", "/window", [&platform, &permissions](const Json& body) {
        return PictureEndpoints::window(platform, permissions, body);
    });
    service_.route("GET", "/windows", [&platform, &permissions](const Json&) {
        return PictureEndpoints::windows(platform, permissions);
    });

    auto execute = executeEndpoint(input, [&permissions] { return permissions.accessibilityGranted(); });
    service_.route("POST", "/execute", [execute](const Json& body) { return execute(body); });

    service_.route("POST", "/audio/start", [&platform, &recorder, &permissions](const Json& body) {
        return AudioEndpoints::audioStart(platform, recorder, permissions, body);
    });
    service_.route("POST", "/audio/stop", [&recorder](const Json&) { return AudioEndpoints::audioStop(recorder); });
    service_.route("GET", "/audio/status", [&recorder](const Json&) { return AudioEndpoints::audioStatus(recorder); });

    service_.route("POST", "/mcp", Service::RequestEndpoint([this](const HTTPRequest& request) {
        return mcp_.respond(request);
    }));
    // One request per connection leaves no stream for the server to speak on by itself.
    service_.route("GET", "/mcp", [](const Json&) {
        HTTPResponse answer = Service::failure(405, "method_not_allowed", "MCP messages go to POST /mcp; there is no event stream");
        answer.headers["Allow"] = "POST";
        return answer;
    });

    service_.route("POST", "/quit", [this](const Json&) { return quit(platform_, [this] { cleanUp(); }, end_); });
}
