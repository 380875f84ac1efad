#pragma once

#include "base/Json.hpp"
#include "http/HTTPMessage.hpp"

#include <functional>

class Permissions;

// POST "/request": prompts for "screen", "accessibility" or "microphone" (optionally opening
// the settings page) and answers with the status report made after the prompt call.
HTTPResponse requestPermission(const Json& body, Permissions& permissions, const std::function<Json()>& status);
