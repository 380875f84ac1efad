#pragma once

#include <stdexcept>
#include <string>

// A failure reported by the machine's services: the domain names the service ("X11",
// "PulseAudio", "FFmpeg", or the capture framework's own domain), the code is that service's
// number for it, and the description a sentence for people.
struct PlatformError : std::runtime_error {
    PlatformError(std::string domain, long code, std::string description)
        : std::runtime_error(description), domain(std::move(domain)), code(code),
          description(std::move(description))
    {
    }
    std::string domain;
    long code;
    std::string description;
};
