#pragma once

#include "base/Json.hpp"

#include <string>

class Permissions;
struct Platform;

// The status report: version, process id, the three permissions, the capture path and the
// main display's size in points and pixel scale. Built anew each time; never throws. It may
// block for as long as a screen probe takes.
Json statusReport(Platform& platform, Permissions& permissions, const std::string& version);
