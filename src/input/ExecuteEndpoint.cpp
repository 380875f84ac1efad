#include "input/ExecuteEndpoint.hpp"

#include "base/PlatformError.hpp"
#include "base/Text.hpp"
#include "input/Input.hpp"

#include <exception>

Service::Endpoint executeEndpoint(Input& input, std::function<bool()> accessibilityGranted)
{
    return [&input, accessibilityGranted = std::move(accessibilityGranted)](const Json& body) {
        if (!accessibilityGranted())
            return Service::failure(403, "accessibility_denied", "Accessibility is off for Velmar Computer Use");
        try {
            input.perform(body);
        } catch (const Input::Failure& failure) {
            return Service::failure(400, "bad_action", failure.message);
        } catch (const PlatformError& error) {
            return Service::failure(500, "action_failed", error.description);
        } catch (const std::exception& error) {
            return Service::failure(500, "action_failed", validUTF8(error.what()));
        } catch (...) {
            return Service::failure(500, "action_failed", "the action failed");
        }
        return HTTPResponse{200, Json{{"ok", true}, {"note", ""}}};
    };
}
