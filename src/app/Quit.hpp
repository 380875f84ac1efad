#pragma once

#include "http/HTTPMessage.hpp"

#include <functional>

struct Platform;

// POST "/quit": leaves the machine clean (`cleanUp`: no key held, no keycode borrowed, the
// recording stopped and its last part finished), answers {"ok":true}, and ends the process
// on the main thread about 0.2 s later, which gives the answer time to go out while the
// process keeps serving. `end` ends the process; tests pass their own.
HTTPResponse quit(Platform& platform, const std::function<void()>& cleanUp, std::function<void()> end);
