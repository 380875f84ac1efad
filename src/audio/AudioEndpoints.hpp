#pragma once

#include "base/Json.hpp"
#include "http/HTTPMessage.hpp"

class AudioRecorder;
class Permissions;
struct Platform;

// POST "/audio/start", POST "/audio/stop" and GET "/audio/status". Each answers the
// recorder's status object as it stands after the request, or an error body.
namespace AudioEndpoints {

// Reads "directory" (absolute, required), "part_seconds" (default 60) and "microphone"
// (default true); refuses without Screen Recording when the microphone cannot carry the
// recording; starts the recorder.
HTTPResponse audioStart(Platform& platform, AudioRecorder& recorder, Permissions& permissions, const Json& body);
HTTPResponse audioStop(AudioRecorder& recorder);
HTTPResponse audioStatus(AudioRecorder& recorder);

}
