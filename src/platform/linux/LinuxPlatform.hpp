#pragma once

#include "platform/Platform.hpp"

// The real services of the desktop this process runs on. Built once at start-up and kept
// for the life of the process.
class LinuxPlatform {
public:
    LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    Platform& platform() { return platform_; }

private:
    Clock clock_;
    Platform platform_;
};
