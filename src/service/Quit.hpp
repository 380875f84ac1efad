#pragma once

#include "http/HTTPMessage.hpp"

#include <functional>

class Input;
struct Platform;

// POST "/quit": leaves the desktop clean (no key held, no keycode borrowed), answers
// {"ok":true}, and ends the process on the main thread about 0.2 s later, which gives the
// answer time to go out. `end` ends the process; tests pass their own.
HTTPResponse quit(Platform& platform, Input& input, std::function<void()> end);
