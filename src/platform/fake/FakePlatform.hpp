#pragma once

#include "platform/Platform.hpp"
#include "platform/fake/FakeClock.hpp"

// Every platform interface, scriptable from a test. Tests reach the fakes directly through
// the public members and hand platform() to the code under test.
class FakePlatform {
public:
    FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    Platform& platform() { return platform_; }

    FakeClock clock;

private:
    Platform platform_;
};
