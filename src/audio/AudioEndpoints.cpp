#include "audio/AudioEndpoints.hpp"

#include "audio/AudioRecorder.hpp"
#include "capture/ScreenCapture.hpp"
#include "permissions/Permissions.hpp"
#include "screenshot/PictureEndpoints.hpp"
#include "service/Service.hpp"

namespace AudioEndpoints {

namespace {

// An absolute path the file system can take: a path with a NUL in it would name another file.
std::optional<std::string> directoryMember(const Json& body)
{
    const Json* value = Service::member(body, "directory");
    if (!value || !value->is_string())
        return std::nullopt;
    const auto& text = value->get_ref<const std::string&>();
    if (text.empty() || text.front() != '/' || text.find('\0') != std::string::npos)
        return std::nullopt;
    return text;
}

// JSON booleans, and the numbers 0 and 1 read as false and true; anything else is absent.
std::optional<bool> booleanMember(const Json& body, const char* key)
{
    const Json* value = Service::member(body, key);
    if (!value)
        return std::nullopt;
    if (value->is_boolean())
        return value->get<bool>();
    if (value->is_number()) {
        const double number = value->get<double>();
        if (number == 0 || number == 1)
            return number == 1;
    }
    return std::nullopt;
}

}

HTTPResponse audioStart(Platform& platform, AudioRecorder& recorder, Permissions& permissions, const Json& body)
{
    const auto directory = directoryMember(body);
    if (!directory)
        return Service::failure(400, "bad_request", "`directory` must be an absolute path");
    const double partSeconds = Service::number(Service::member(body, "part_seconds")).value_or(60);
    const bool microphone = booleanMember(body, "microphone").value_or(true);

    // Without Screen Recording, only a microphone that can carry the recording lets it start.
    // System audio is not a picture of the screen: where only the screen is out of reach, it
    // is still recorded.
    if (permissions.contentState() == Permissions::ScreenState::denied
        && (!microphone || permissions.microphoneState() != Permissions::ScreenState::granted))
        return PictureEndpoints::screenDenied(permissions.contentDetail());

    try {
        recorder.start(*directory, partSeconds, microphone);
    } catch (...) {
        return Service::failure(500, "audio_failed",
                                "no recording: " + ScreenCapture::describe(platform, std::current_exception()));
    }
    return HTTPResponse{200, recorder.status()};
}

HTTPResponse audioStop(AudioRecorder& recorder)
{
    recorder.stop();
    return HTTPResponse{200, recorder.status()};
}

HTTPResponse audioStatus(AudioRecorder& recorder)
{
    return HTTPResponse{200, recorder.status()};
}

}
