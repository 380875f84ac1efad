#pragma once

#include "base/Text.hpp"

#include <stdexcept>
#include <string>
#include <utility>

// A failure reported by the machine's services: the domain names the service ("X11",
// "PulseAudio", "FFmpeg", or the capture framework's own domain), the code is that service's
// number for it, and the description a sentence for people. Descriptions carry text from
// outside (a display name, a file name, a library's message) into answers, so they are
// made valid UTF-8 here.
struct PlatformError : std::runtime_error {
    PlatformError(std::string domain, long code, const std::string& description)
        : std::runtime_error(validUTF8(description)), domain(std::move(domain)), code(code),
          description(what())
    {
    }
    // The error as it is, when it is one; else a failure of `domain` with the exception's text.
    static PlatformError from(const std::exception& error, std::string domain)
    {
        if (const auto* platform = dynamic_cast<const PlatformError*>(&error))
            return *platform;
        return PlatformError(std::move(domain), 0, error.what());
    }

    std::string domain;
    long code;
    std::string description;
};
