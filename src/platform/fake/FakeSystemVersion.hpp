#pragma once

#include "platform/SystemVersion.hpp"

#include <atomic>
#include <tuple>

// An operating system of the version the test sets (14.0.0 unless told: the framework path).
class FakeSystemVersion final : public SystemVersion {
public:
    void set(int major, int minor, int patch) { major_ = major, minor_ = minor, patch_ = patch; }
    bool isAtLeast(int major, int minor, int patch) override
    {
        return std::tuple(major_.load(), minor_.load(), patch_.load()) >= std::tuple(major, minor, patch);
    }

private:
    std::atomic<int> major_ = 14;
    std::atomic<int> minor_ = 0;
    std::atomic<int> patch_ = 0;
};
