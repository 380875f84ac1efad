#include "platform/x11/X11WindowServer.hpp"

#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11Windows.hpp"

#include <exception>

std::vector<ShareableWindow> X11WindowServer::windows(bool onScreenOnly, bool excludingDesktopElements)
{
    auto windows = connection_.run([&](X11Session& session) {
        X11DisplayLayout layout = x11DisplayLayout(session);
        return x11Windows(session, layout, onScreenOnly, excludingDesktopElements);
    });
    remember(windows);
    return windows;
}

void X11WindowServer::remember(const std::vector<ShareableWindow>& windows)
{
    std::map<std::int32_t, std::string> identifiers;
    for (const auto& window : windows) {
        const auto& application = window.owningApplication;
        if (application && application->processID > 0 && !application->bundleIdentifier.empty())
            identifiers.emplace(application->processID, application->bundleIdentifier);
    }
    std::lock_guard lock(mutex_);
    identifiers_ = std::move(identifiers);
}

std::optional<Json> X11WindowServer::copyWindowInfo(std::uint32_t options, std::uint32_t)
{
    try {
        auto windows = this->windows(options & optionOnScreenOnly, options & optionExcludeDesktopElements);
        return dictionaries(windows);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> X11WindowServer::bundleIdentifier(std::int32_t processID)
{
    if (processID <= 0)
        return std::nullopt;
    const auto known = [&]() -> std::optional<std::string> {
        std::lock_guard lock(mutex_);
        const auto found = identifiers_.find(processID);
        if (found == identifiers_.end())
            return std::nullopt;
        return found->second;
    };
    if (auto identifier = known())
        return identifier;
    try {
        windows(false, false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return known();
}

std::optional<Image> X11WindowServer::createWindowImage(std::uint32_t windowID)
{
    try {
        return connection_.run([windowID](X11Session& session) { return x11ReadWindow(session, windowID).image; });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
