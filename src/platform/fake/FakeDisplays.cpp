#include "platform/fake/FakeDisplays.hpp"

void FakeDisplays::set(std::uint32_t displayID, Display display, bool main)
{
    std::lock_guard lock(mutex_);
    displays_[displayID] = std::move(display);
    if (main)
        main_ = displayID;
}

std::uint32_t FakeDisplays::mainDisplayID()
{
    std::lock_guard lock(mutex_);
    return main_;
}

Rect FakeDisplays::bounds(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    const auto found = displays_.find(displayID);
    return found == displays_.end() ? Rect{} : found->second.bounds;
}

std::optional<std::int64_t> FakeDisplays::modePixelWidth(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    const auto found = displays_.find(displayID);
    return found == displays_.end() ? std::nullopt : found->second.modePixelWidth;
}

std::int64_t FakeDisplays::pixelsWide(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    const auto found = displays_.find(displayID);
    return found == displays_.end() ? 0 : found->second.pixelsWide;
}

std::optional<Image> FakeDisplays::createImage(std::uint32_t displayID)
{
    std::lock_guard lock(mutex_);
    const auto found = displays_.find(displayID);
    return found == displays_.end() ? std::nullopt : found->second.image;
}
