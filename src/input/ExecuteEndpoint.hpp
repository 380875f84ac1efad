#pragma once

#include "service/Service.hpp"

#include <functional>

class Input;

// POST "/execute": runs one input action from the body. Refuses with 403 while posting
// input is not allowed (the check runs on every request, before the body is read).
// `input` must outlive the endpoint.
Service::Endpoint executeEndpoint(Input& input, std::function<bool()> accessibilityGranted);
