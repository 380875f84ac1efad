#include "platform/gnome/GnomeWindowList.hpp"

#include "base/Json.hpp"
#include "base/PlatformError.hpp"
#include "base/Text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

namespace {

// The extension's answer is a few hundred bytes per window.
constexpr std::size_t longestList = 8 * 1024 * 1024;
// Places and sizes beyond this are no desktop's.
constexpr std::int64_t farthest = std::int64_t{1} << 20;

PlatformError wrong(const std::string& what)
{
    return PlatformError("GNOME", 0, "the shell extension's window list is not understood: " + what);
}

std::int64_t integer(const Json& entry, const char* key, std::int64_t least, std::int64_t most, const std::string& name)
{
    const auto found = entry.find(key);
    if (found == entry.end() || !found->is_number_integer())
        throw wrong(name + " has no whole number " + key);
    // Unsigned numbers above the signed range read as negative when taken as signed.
    if (found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(most))
        throw wrong(name + "'s " + key + " is out of range");
    const auto value = found->get<std::int64_t>();
    if (value < least || value > most)
        throw wrong(name + "'s " + key + " is out of range");
    return value;
}

std::string text(const Json& entry, const char* key, const std::string& name)
{
    const auto found = entry.find(key);
    if (found == entry.end() || found->is_null())
        return {};
    if (!found->is_string())
        throw wrong(name + "'s " + key + " is not a string");
    const auto& value = found->get_ref<const std::string&>();
    if (value.size() <= gnomeWindowsLongestText)
        return validUTF8(value);
    return validUTF8(std::string_view(value).substr(0, gnomeWindowsLongestText), Ending::cut);
}

bool flag(const Json& entry, const char* key, const std::string& name)
{
    const auto found = entry.find(key);
    if (found == entry.end() || !found->is_boolean())
        throw wrong(name + " has no true or false " + key);
    return found->get<bool>();
}

ShareableWindow window(const Json& entry, std::size_t index)
{
    std::string name = "window " + std::to_string(index);
    if (!entry.is_object())
        throw wrong(name + " is not an object");
    ShareableWindow window;
    window.windowID = static_cast<std::uint32_t>(integer(entry, "id", 1, std::numeric_limits<std::uint32_t>::max(), name));
    name = "window " + std::to_string(window.windowID);
    if (const auto title = entry.find("title"); title != entry.end() && !title->is_null())
        window.title = text(entry, "title", name);
    const auto frame = entry.find("frame");
    if (frame == entry.end() || !frame->is_object())
        throw wrong(name + " has no frame");
    window.frame = {static_cast<double>(integer(*frame, "x", -farthest, farthest, name + "'s frame")),
                    static_cast<double>(integer(*frame, "y", -farthest, farthest, name + "'s frame")),
                    static_cast<double>(integer(*frame, "width", 0, farthest, name + "'s frame")),
                    static_cast<double>(integer(*frame, "height", 0, farthest, name + "'s frame"))};
    window.isOnScreen = flag(entry, "shown", name);
    const auto pid = static_cast<std::int32_t>(integer(entry, "pid", 0, std::numeric_limits<std::int32_t>::max(), name));
    const std::string appID = text(entry, "app_id", name);
    const std::string appName = text(entry, "app_name", name);
    if (pid > 0 || !appID.empty())
        window.owningApplication = OwningApplication{pid, appName.empty() ? appID : appName, appID};
    return window;
}

} // namespace

std::vector<ShareableWindow> gnomeWindowsFromList(std::string_view text)
{
    if (text.size() > longestList)
        throw wrong("it is longer than " + std::to_string(longestList) + " bytes");
    const auto list = readJson(text);
    if (!list || !list->is_array())
        throw wrong("it is not a JSON array");
    if (list->size() > gnomeWindowsMost)
        throw wrong("it holds more than " + std::to_string(gnomeWindowsMost) + " windows");
    std::vector<ShareableWindow> windows;
    windows.reserve(list->size());
    std::set<std::uint32_t> ids;
    for (std::size_t i = 0; i < list->size(); ++i) {
        windows.push_back(window((*list)[i], i));
        if (!ids.insert(windows.back().windowID).second)
            throw wrong("window " + std::to_string(windows.back().windowID) + " is listed twice");
    }
    return windows;
}

PixelRect gnomeMonitorPixels(const Rect& frame, const Rect& monitor, int pixelWidth, int pixelHeight)
{
    if (monitor.width <= 0 || monitor.height <= 0 || pixelWidth <= 0 || pixelHeight <= 0)
        return {};
    const double scaleX = pixelWidth / monitor.width;
    const double scaleY = pixelHeight / monitor.height;
    const auto edge = [](double points, double scale, int limit) {
        return static_cast<int>(std::clamp(std::round(points * scale), 0.0, static_cast<double>(limit)));
    };
    const int left = edge(frame.x - monitor.x, scaleX, pixelWidth);
    const int top = edge(frame.y - monitor.y, scaleY, pixelHeight);
    const int right = edge(frame.x + std::fabs(frame.width) - monitor.x, scaleX, pixelWidth);
    const int bottom = edge(frame.y + std::fabs(frame.height) - monitor.y, scaleY, pixelHeight);
    return {left, top, right - left, bottom - top};
}
