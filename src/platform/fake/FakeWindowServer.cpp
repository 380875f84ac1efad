#include "platform/fake/FakeWindowServer.hpp"

void FakeWindowServer::setWindowInfo(std::optional<Json> list)
{
    std::lock_guard lock(mutex_);
    list_ = std::move(list);
}

void FakeWindowServer::addApplication(std::int32_t processID, std::optional<std::string> bundleIdentifier)
{
    std::lock_guard lock(mutex_);
    applications_[processID] = std::move(bundleIdentifier);
}

void FakeWindowServer::setWindowImage(std::uint32_t windowID, Image image)
{
    std::lock_guard lock(mutex_);
    images_[windowID] = std::move(image);
}

std::optional<Json> FakeWindowServer::copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow)
{
    std::lock_guard lock(mutex_);
    listRequests_.emplace_back(options, relativeToWindow);
    return list_;
}

std::optional<std::string> FakeWindowServer::bundleIdentifier(std::int32_t processID)
{
    std::lock_guard lock(mutex_);
    lookups_.push_back(processID);
    const auto found = applications_.find(processID);
    return found == applications_.end() ? std::nullopt : found->second;
}

std::optional<Image> FakeWindowServer::createWindowImage(std::uint32_t windowID)
{
    std::lock_guard lock(mutex_);
    imageRequests_.push_back(windowID);
    const auto found = images_.find(windowID);
    if (found == images_.end())
        return std::nullopt;
    return found->second;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> FakeWindowServer::listRequests() const
{
    std::lock_guard lock(mutex_);
    return listRequests_;
}

std::vector<std::int32_t> FakeWindowServer::applicationLookups() const
{
    std::lock_guard lock(mutex_);
    return lookups_;
}

std::vector<std::uint32_t> FakeWindowServer::imageRequests() const
{
    std::lock_guard lock(mutex_);
    return imageRequests_;
}
