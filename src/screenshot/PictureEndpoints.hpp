#pragma once

#include "base/Json.hpp"
#include "http/HTTPMessage.hpp"

#include <exception>
#include <string>

class Permissions;
struct Platform;

// The picture and window-list endpoints, and the answers for capture trouble that the
// other endpoints share.
namespace PictureEndpoints {

// 403 "screen_denied", naming the detail in parentheses when there is one.
HTTPResponse screenDenied(const std::string& detail);

// A refusal for lack of permission answers 403 and drops the cached probe, so the next
// request asks the system again; any other error answers 500 "screenshot_failed".
HTTPResponse captureFailure(Platform& platform, Permissions& permissions, std::exception_ptr error);

// POST "/screenshot": the main display.
HTTPResponse screenshot(Platform& platform, Permissions& permissions, const Json& body);
// POST "/window": one window by id.
HTTPResponse window(Platform& platform, Permissions& permissions, const Json& body);
// GET "/windows": the window list.
HTTPResponse windows(Platform& platform, Permissions& permissions);

}
