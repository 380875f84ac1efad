#pragma once

#include "platform/Geometry.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class WaylandSession;
struct wl_registry;
struct org_kde_plasma_window_management;

// One window as KWin's window management describes it.
struct KWinWindow {
    // KWin's number for the window, the same for every client while the window lives.
    std::uint32_t id = 0;
    // KWin's own id ("{…}"), which its screenshot service takes.
    std::string uuid;
    std::string title;
    std::string appID;
    std::int32_t processID = 0;
    // The frame in KWin's global logical coordinates.
    Rect frame;
    bool minimized = false;
    bool active = false;
};

// KWin's window list (org_kde_plasma_window_management), which KWin offers only to programs a
// desktop file trusts, kept on a Wayland connection shared with other work: attach() on each
// new session, detach() before it ends, windows() under the connection's lock.
class KWinWindows {
public:
    KWinWindows();
    ~KWinWindows();
    KWinWindows(const KWinWindows&) = delete;
    KWinWindows& operator=(const KWinWindows&) = delete;

    // Looks for KWin's window management on the session and binds it when offered.
    void attach(WaylandSession& session);
    // Destroys every object made on the session.
    void detach();

    // Whether KWin offers the window list to this program.
    bool offered() const;
    // The windows front to back, each once KWin has described it whole (waits for that, with a
    // deadline). Throws WaylandConnectionLost and WaylandNoAnswer.
    std::vector<KWinWindow> windows(WaylandSession& session);

    struct State;

private:
    std::unique_ptr<State> state_;
};
