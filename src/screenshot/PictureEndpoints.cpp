#include "screenshot/PictureEndpoints.hpp"

#include "capture/ScreenCapture.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "permissions/Permissions.hpp"
#include "screenshot/Screenshot.hpp"
#include "service/Service.hpp"

#include <algorithm>
#include <cmath>

namespace PictureEndpoints {

namespace {

const std::string productName = "Velmar Computer Use";

// Percent to a factor in [0.3, 1.0]; 0.8 when absent. NaN text ("nan") reads as 0.3.
double quality(const Json& body)
{
    const auto percent = Service::number(Service::member(body, "quality"));
    if (!percent)
        return 0.8;
    const double factor = *percent / 100.0;
    if (std::isnan(factor))
        return 0.3;
    return std::min(std::max(factor, 0.3), 1.0);
}

std::string stringOr(const Json& body, const char* key, const char* fallback)
{
    const Json* value = Service::member(body, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

// The picture's bytes go into the answer as they are; the answer's writer turns them into
// Base64 text as it writes (writeJson), or writes the text as it stands when the encoder
// made it.
Json pictureBody(Platform& platform, Shot& shot)
{
    Json body = {{"mime", shot.mime},
                 {"width", shot.width},
                 {"height", shot.height},
                 {"scale", shot.scale},
                 {"capture", ScreenCapture::source(platform)}};
    body["base64"] = shot.dataIsBase64Text ? Json::binary(std::move(shot.data), base64TextSubtype)
                                           : Json::binary(std::move(shot.data));
    return body;
}

}

HTTPResponse screenDenied(const std::string& detail)
{
    std::string message = "Screen Recording is off for " + productName;
    if (!detail.empty())
        message += " (" + detail + ")";
    return Service::failure(403, "screen_denied", message);
}

HTTPResponse captureFailure(Platform& platform, Permissions& permissions, std::exception_ptr error)
{
    if (ScreenCapture::isDenied(platform, error)) {
        permissions.forgetProbe();
        return screenDenied(ScreenCapture::describe(platform, error));
    }
    return Service::failure(500, "screenshot_failed", "no screenshot: " + ScreenCapture::describe(platform, error));
}

HTTPResponse screenshot(Platform& platform, Permissions& permissions, const Json& body)
{
    if (permissions.screenState() == Permissions::ScreenState::denied)
        return screenDenied(permissions.screenDetail());

    const std::string format = stringOr(body, "format", "jpeg");
    const double factor = quality(body);
    const auto maxPixels = Service::integer(Service::member(body, "max_pixels"), 10'000, 50'000'000).value_or(2'000'000);
    const auto width = Service::integer(Service::member(body, "width"), 0, 20'000);
    const auto height = Service::integer(Service::member(body, "height"), 0, 20'000);

    try {
        Shot shot = Screenshot::take(platform, width, height, maxPixels, format, factor);
        Json answer = pictureBody(platform, shot);
        answer["screen"] = {{"width", shot.screenWidth}, {"height", shot.screenHeight}};
        return HTTPResponse{200, std::move(answer)};
    } catch (const Screenshot::Failure& failure) {
        if (failure.kind() == Screenshot::Failure::Kind::black)
            return Service::failure(403, "screen_denied",
                                    "the picture is black \u2014 Screen Recording is off for " + productName);
        return captureFailure(platform, permissions, std::current_exception());
    } catch (...) {
        return captureFailure(platform, permissions, std::current_exception());
    }
}

HTTPResponse window(Platform& platform, Permissions& permissions, const Json& body)
{
    const auto id = Service::integer(Service::member(body, "id"), 1, 4'294'967'295.0);
    if (!id)
        return Service::failure(400, "bad_request", "`id` must be a window id from /windows");
    // A window may be within reach where the screen is not.
    if (permissions.contentState() == Permissions::ScreenState::denied)
        return screenDenied(permissions.contentDetail());

    // Only "jpeg" exactly gives JPEG here; the pipeline's own rule is "png" or JPEG.
    const std::string format = stringOr(body, "format", "png") == "jpeg" ? "jpeg" : "png";
    const double factor = quality(body);
    const auto maxPixels = Service::integer(Service::member(body, "max_pixels"), 0, 50'000'000).value_or(0);

    try {
        Shot shot = Screenshot::window(platform, static_cast<std::uint32_t>(*id), maxPixels, format, factor);
        Json answer = pictureBody(platform, shot);
        answer["window"] = {{"id", *id},
                            {"x", shot.originX},
                            {"y", shot.originY},
                            {"width", shot.screenWidth},
                            {"height", shot.screenHeight}};
        return HTTPResponse{200, std::move(answer)};
    } catch (const Screenshot::Failure& failure) {
        if (failure.kind() == Screenshot::Failure::Kind::noWindow)
            return Service::failure(404, "no_window",
                                    "no window with id " + std::to_string(failure.windowID()) + " is on screen");
        return captureFailure(platform, permissions, std::current_exception());
    } catch (...) {
        return captureFailure(platform, permissions, std::current_exception());
    }
}

HTTPResponse windows(Platform& platform, Permissions& permissions)
{
    if (permissions.contentState() == Permissions::ScreenState::denied)
        return screenDenied(permissions.contentDetail());
    try {
        Json list = Json::array();
        for (const auto& entry : ScreenCapture::windows(platform))
            list.push_back(entry.json());
        return HTTPResponse{200, Json{{"windows", std::move(list)}, {"capture", ScreenCapture::source(platform)}}};
    } catch (...) {
        return captureFailure(platform, permissions, std::current_exception());
    }
}

}
