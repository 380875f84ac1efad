#pragma once

#include "base/Json.hpp"
#include "imaging/Image.hpp"
#include "platform/ScreenCaptureFramework.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The older window-server path: its window list and single-window pictures. Every call runs
// on the caller's thread, may block on a round trip to the display server, and never throws.
class WindowServer {
public:
    // Options of the window list: on-screen windows only, leaving out desktop elements.
    static constexpr std::uint32_t optionOnScreenOnly = 1;
    static constexpr std::uint32_t optionExcludeDesktopElements = 16;

    // Keys of a window dictionary. Any of them may be missing or hold a value of another
    // type than the one named here.
    static constexpr const char* keyNumber = "kCGWindowNumber";     // unsigned 32-bit number
    static constexpr const char* keyOwnerPID = "kCGWindowOwnerPID"; // integer
    static constexpr const char* keyBounds = "kCGWindowBounds";     // {"X","Y","Width","Height"}
    static constexpr const char* keyOwnerName = "kCGWindowOwnerName"; // string
    static constexpr const char* keyName = "kCGWindowName";         // string
    static constexpr const char* keyLayer = "kCGWindowLayer";       // integer
    static constexpr const char* keyIsOnscreen = "kCGWindowIsOnscreen"; // boolean

    virtual ~WindowServer() = default;

    // The window list, one dictionary per window as the capture framework lists them, for
    // implementations that serve both lists from one source.
    static Json dictionaries(const std::vector<ShareableWindow>& windows)
    {
        Json list = Json::array();
        for (const ShareableWindow& window : windows) {
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
    }

    // The window list: an array holding one dictionary (JSON object) per window, in the
    // window server's order, relative to `relativeToWindow` (0 for none). Nothing when the
    // server gives no list. The shape is not checked here: callers check it.
    virtual std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow) = 0;

    // The bundle identifier of the running application with this process id; nothing when
    // there is no such application or it has no identifier.
    virtual std::optional<std::string> bundleIdentifier(std::int32_t processID) = 0;

    // The named window alone, without its framing, at its own bounds and best resolution,
    // BGRA, owned by the caller; nothing when no picture can be taken.
    virtual std::optional<Image> createWindowImage(std::uint32_t windowID) = 0;
};

// The window server of a desktop whose window list and window pictures come from the capture
// framework's side: the list and one window's picture, as functions that throw when they
// cannot answer.
class ListedWindowServer final : public WindowServer {
public:
    using List = std::function<std::vector<ShareableWindow>()>;
    using Picture = std::function<Image(std::uint32_t windowID)>;

    ListedWindowServer(List list, Picture picture) : list_(std::move(list)), picture_(std::move(picture)) {}

    std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t) override
    {
        try {
            auto windows = list_();
            if (options & optionOnScreenOnly)
                std::erase_if(windows, [](const ShareableWindow& window) { return !window.isOnScreen; });
            return dictionaries(windows);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // The app id of the process's windows.
    std::optional<std::string> bundleIdentifier(std::int32_t processID) override
    {
        if (processID <= 0)
            return std::nullopt;
        try {
            for (const auto& window : list_()) {
                const auto& application = window.owningApplication;
                if (application && application->processID == processID && !application->bundleIdentifier.empty())
                    return application->bundleIdentifier;
            }
        } catch (const std::exception&) {
        }
        return std::nullopt;
    }

    std::optional<Image> createWindowImage(std::uint32_t windowID) override
    {
        try {
            return picture_(windowID);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

private:
    List list_;
    Picture picture_;
};
