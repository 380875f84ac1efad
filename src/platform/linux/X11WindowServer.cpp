#include "platform/linux/X11WindowServer.hpp"

#include "platform/linux/X11Displays.hpp"
#include "platform/linux/X11Windows.hpp"

#include <fstream>

std::optional<Json> X11WindowServer::copyWindowInfo(std::uint32_t options, std::uint32_t)
{
    try {
        auto windows = connection_.run([options](X11Session& session) {
            X11DisplayLayout layout = x11DisplayLayout(session);
            return x11Windows(session, layout, options & optionOnScreenOnly, options & optionExcludeDesktopElements);
        });
        Json list = Json::array();
        for (const auto& window : windows) {
            Json entry = {{keyNumber, window.windowID},
                          {keyBounds,
                           {{"X", window.frame.x}, {"Y", window.frame.y}, {"Width", window.frame.width},
                            {"Height", window.frame.height}}},
                          {keyLayer, window.windowLayer},
                          {keyIsOnscreen, window.isOnScreen}};
            if (window.owningApplication) {
                entry[keyOwnerPID] = window.owningApplication->processID;
                entry[keyOwnerName] = window.owningApplication->applicationName;
            }
            if (window.title)
                entry[keyName] = *window.title;
            list.push_back(std::move(entry));
        }
        return list;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> X11WindowServer::bundleIdentifier(std::int32_t processID)
{
    if (processID <= 0)
        return std::nullopt;
    std::ifstream comm("/proc/" + std::to_string(processID) + "/comm");
    std::string name;
    if (!comm || !std::getline(comm, name) || name.empty())
        return std::nullopt;
    return name;
}

std::optional<Image> X11WindowServer::createWindowImage(std::uint32_t windowID)
{
    try {
        return connection_.run([windowID](X11Session& session) { return x11ReadWindow(session, windowID).image; });
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
