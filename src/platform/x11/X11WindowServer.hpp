#pragma once

#include "platform/ScreenCaptureFramework.hpp"
#include "platform/WindowServer.hpp"
#include "platform/x11/X11Connection.hpp"

#include <map>
#include <mutex>
#include <vector>

// The older window-server path on X11, over the same window list and Composite pictures as
// X11ScreenCapture. Calls run on the caller's thread and never throw.
class X11WindowServer final : public WindowServer {
public:
    explicit X11WindowServer(X11Connection& connection) : connection_(connection) {}

    std::optional<Json> copyWindowInfo(std::uint32_t options, std::uint32_t relativeToWindow) override;
    // The application identifier of the process's windows, the same the framework path
    // gives them: their desktop-file id, else their WM_CLASS class. Taken from the list the
    // last copyWindowInfo made, which is what callers ask about; a process that list did
    // not hold is looked for in a new one.
    std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
    std::optional<Image> createWindowImage(std::uint32_t windowID) override;

private:
    std::vector<ShareableWindow> windows(bool onScreenOnly, bool excludingDesktopElements);
    void remember(const std::vector<ShareableWindow>& windows);

    X11Connection& connection_;
    std::mutex mutex_;
    std::map<std::int32_t, std::string> identifiers_;
};
