#pragma once

#include "platform/Geometry.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/wayland/WaylandLayout.hpp"

#include <string_view>
#include <vector>

// The window list of the shell extension computer-use-windows@velmar.com (data/
// gnome-shell-extension), as its List() method writes it: a JSON array, front to back, of
// {id, title, app_id, app_name, pid, frame {x, y, width, height}, workspace, shown, x11}.
// Pure logic: no bus.

// The version of the extension's protocol this program reads. Fields are only added within
// a version; another version means another list.
inline constexpr unsigned gnomeWindowsProtocol = 1;
// More windows than any desktop shows: a longer list is refused rather than read.
inline constexpr std::size_t gnomeWindowsMost = 4096;
// Titles and application names are cut to this many bytes, on a character boundary.
inline constexpr std::size_t gnomeWindowsLongestText = 1024;

// The list as windows of the capture framework, frames in the shell's logical pixels (its
// stage, where the main monitor need not be at the origin). Fields the protocol may add are
// ignored; a missing title is none; an entry without an id in 1 ... 2^32 - 1, or with a
// field of the wrong type or out of range, fails the whole list, as the extension never
// writes one. Throws PlatformError saying what is wrong.
std::vector<ShareableWindow> gnomeWindowsFromList(std::string_view text);

// The pixels of the monitor's picture that show `frame`, both in the shell's logical
// pixels, the picture `pixelWidth` x `pixelHeight` (the monitor at its pixel scale),
// clipped to the picture: empty (zero width or height) when the frame is off the monitor.
PixelRect gnomeMonitorPixels(const Rect& frame, const Rect& monitor, int pixelWidth, int pixelHeight);
