#pragma once

#include "base/Json.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/wayland/WaylandLayout.hpp"

#include <optional>
#include <string>
#include <vector>

// The windows of sway's layout tree (its IPC's GET_TREE answer), front to back as far as the
// tree tells: each workspace's floating windows above its tiled ones, and among siblings the
// most recently focused first, so the visible workspaces come before the hidden ones. Each
// window's id is sway's container id, which stays the same for the window's life; its frame
// is the window's content (without sway's borders and title bar) in the global display space
// of `layout`; windows that are not shown (another workspace, a hidden tab, the scratchpad)
// are listed with isOnScreen false. Pure logic.
std::vector<ShareableWindow> swayWindows(const Json& tree, const WaylandLayout& layout);

// Talks to sway's IPC socket: where it is for the compositor at the other end of a Wayland
// connection, and its layout tree.
namespace SwayIPC {

// SWAYSOCK when set (an explicit choice, even of a socket that does not answer), else the
// socket sway makes for itself in XDG_RUNTIME_DIR, named after its user and process ids.
// Nothing when neither is there: the compositor is not sway.
std::optional<std::string> socketPath(std::optional<std::pair<int, unsigned>> compositor);

// The layout tree; throws PlatformError when the socket does not answer within 2 s.
Json tree(const std::string& socketPath);

} // namespace SwayIPC
