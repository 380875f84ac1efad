#include "permissions/RequestEndpoint.hpp"

#include "permissions/Permissions.hpp"
#include "service/Service.hpp"

HTTPResponse requestPermission(const Json& body, Permissions& permissions, const std::function<Json()>& status)
{
    const Json* whatValue = Service::member(body, "what");
    const std::string what = whatValue && whatValue->is_string() ? whatValue->get<std::string>() : std::string();
    if (what != "screen" && what != "accessibility" && what != "microphone")
        return Service::failure(400, "bad_request", "`what` must be \"screen\", \"accessibility\" or \"microphone\"");

    // Only a JSON true, or a number equal to 1, opens the settings page.
    const Json* paneValue = Service::member(body, "pane");
    const bool pane = paneValue
        && ((paneValue->is_boolean() && paneValue->get<bool>()) || (paneValue->is_number() && paneValue->get<double>() == 1.0));

    if (what == "microphone") {
        permissions.requestMicrophone();
    } else {
        permissions.request(what);
        if (pane)
            permissions.openPane(what);
    }
    return HTTPResponse{200, status()};
}
