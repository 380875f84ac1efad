#pragma once

#include "platform/WindowServer.hpp"

#include <map>
#include <mutex>
#include <vector>

// A window server whose list is whatever JSON the test sets, malformed or missing keys
// included. Application lookups are counted so tests can see one lookup per process.
class FakeWindowServer final : public WindowServer {
public:
    void setWindowInfo(std::optional<Json> list);
    // A running application; `bundleIdentifier` nothing for one without an identifier.
    void addApplication(std::int32_t processID, std::optional<std::string> bundleIdentifier);
    void setWindowImage(std::uint32_t windowID, Image image);

    std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow) override;
    std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
    std::optional<Image> createWindowImage(std::uint32_t windowID) override;

    // The options and reference window of every list request, in order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> listRequests() const;
    std::vector<std::int32_t> applicationLookups() const;
    std::vector<std::uint32_t> imageRequests() const;

private:
    mutable std::mutex mutex_;
    std::optional<Json> list_;
    std::map<std::int32_t, std::optional<std::string>> applications_;
    std::map<std::uint32_t, Image> images_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> listRequests_;
    std::vector<std::int32_t> lookups_;
    std::vector<std::uint32_t> imageRequests_;
};
