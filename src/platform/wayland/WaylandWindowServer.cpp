#include "platform/wayland/WaylandWindowServer.hpp"

#include "platform/wayland/WaylandWindows.hpp"

std::optional<Json> WaylandWindowServer::copyWindowInfo(std::uint32_t, std::uint32_t)
{
    try {
        const auto windows = connection_.run([&](WaylandSession& session) {
            return waylandWindows(session, session.layout());
        });
        return dictionaries(windows);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> WaylandWindowServer::bundleIdentifier(std::int32_t processID)
{
    if (processID <= 0)
        return std::nullopt;
    try {
        return connection_.run([&](WaylandSession& session) -> std::optional<std::string> {
            for (const auto& window : waylandWindows(session, session.layout())) {
                const auto& application = window.owningApplication;
                if (application && application->processID == processID && !application->bundleIdentifier.empty())
                    return application->bundleIdentifier;
            }
            return std::nullopt;
        });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Image> WaylandWindowServer::createWindowImage(std::uint32_t windowID)
{
    try {
        return connection_.run([&](WaylandSession& session) {
            return std::move(waylandWindowPicture(session, screencopy_, windowID, false).image);
        });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
