#include "service/Routes.hpp"

#include "base/Process.hpp"
#include "input/ExecuteEndpoint.hpp"
#include "input/Input.hpp"
#include "permissions/Permissions.hpp"
#include "permissions/RequestEndpoint.hpp"
#include "platform/Platform.hpp"
#include "screenshot/PictureEndpoints.hpp"
#include "service/Quit.hpp"
#include "service/Service.hpp"
#include "service/Status.hpp"

#include <memory>

void installRoutes(Service& service, Platform& platform)
{
    // The one Permissions of the process: every endpoint shares its probe cache.
    auto permissions = std::make_shared<Permissions>(platform);
    const auto status = [&service, &platform, permissions] {
        return statusReport(platform, *permissions, service.version());
    };

    service.route("GET", "/status", [status](const Json&) { return HTTPResponse{200, status()}; });
    service.route("POST", "/request", [permissions, status](const Json& body) {
        return requestPermission(body, *permissions, status);
    });

    service.route("POST", "/screenshot", [&platform, permissions](const Json& body) {
        return PictureEndpoints::screenshot(platform, *permissions, body);
    });
    service.route("POST", "/window", [&platform, permissions](const Json& body) {
        return PictureEndpoints::window(platform, *permissions, body);
    });
    service.route("GET", "/windows", [&platform, permissions](const Json&) {
        return PictureEndpoints::windows(platform, *permissions);
    });

    // The one Input of the process: keys held by one request shape the next ones. Quit
    // releases them through input->releaseAll().
    auto input = std::make_shared<Input>(platform);
    auto execute = executeEndpoint(*input, [permissions] { return permissions->accessibilityGranted(); });
    service.route("POST", "/execute", [input, execute](const Json& body) { return execute(body); });

    service.route("POST", "/quit", [&platform, input](const Json&) {
        return quit(platform, *input, [] { endProcess(0); });
    });
}
