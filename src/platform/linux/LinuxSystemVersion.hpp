#pragma once

#include "platform/SystemVersion.hpp"

// The X11 backend stands behind the screen-capture framework interface, so the framework
// path is the one taken here whatever version is asked about.
class LinuxSystemVersion final : public SystemVersion {
public:
    bool isAtLeast(int, int, int) override { return true; }
};
