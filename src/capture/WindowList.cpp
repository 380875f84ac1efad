// The window list of ScreenCapture: from the capture framework, or from the window server.

#include "capture/SCK.hpp"
#include "capture/ScreenCapture.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/Platform.hpp"
#include "platform/WindowServer.hpp"

#include <cmath>
#include <limits>
#include <map>

namespace {

// A whole number within the 64-bit range: an integer, or a floating-point number without a
// fraction. Booleans are not numbers here.
std::optional<std::int64_t> wholeNumber(const Json& value)
{
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -0x1p63 && number < 0x1p63)
            return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

const Json* member(const Json& dictionary, const char* key)
{
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &*found;
}

std::optional<std::uint32_t> windowNumber(const Json* value)
{
    if (!value)
        return std::nullopt;
    const auto number = wholeNumber(*value);
    if (!number || *number < 0 || *number > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(*number);
}

// A rectangle from its dictionary form: all four of X, Y, Width and Height, as numbers.
std::optional<Rect> rectangle(const Json* value)
{
    if (!value || !value->is_object())
        return std::nullopt;
    double parts[4];
    const char* keys[4] = {"X", "Y", "Width", "Height"};
    for (int i = 0; i < 4; ++i) {
        const Json* part = member(*value, keys[i]);
        if (!part || !part->is_number())
            return std::nullopt;
        parts[i] = part->get<double>();
    }
    return Rect{parts[0], parts[1], parts[2], parts[3]};
}

std::string text(const Json* value)
{
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

bool flag(const Json* value, bool otherwise)
{
    if (!value)
        return otherwise;
    if (value->is_boolean())
        return value->get<bool>();
    // Flags stored as the numbers 0 and 1 read as booleans too.
    if (const auto number = wholeNumber(*value); number && (*number == 0 || *number == 1))
        return *number == 1;
    return otherwise;
}

}

std::vector<WindowEntry> ScreenCapture::windows(Platform& platform)
{
    if (!usesFramework(platform))
        return legacyWindows(platform);

    const auto content = SCK::content(platform, true, true);
    std::vector<WindowEntry> entries;
    entries.reserve(content.windows.size());
    for (const auto& window : content.windows) {
        WindowEntry entry;
        entry.id = window.windowID;
        if (window.owningApplication) {
            entry.pid = window.owningApplication->processID;
            entry.app = window.owningApplication->applicationName;
            entry.bundleID = window.owningApplication->bundleIdentifier;
        }
        entry.title = window.title.value_or("");
        entry.frame = window.frame;
        entry.layer = window.windowLayer;
        entry.onScreen = window.isOnScreen;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<WindowEntry> ScreenCapture::legacyWindows(Platform& platform)
{
    const auto list = platform.windowServer.copyWindowInfo(
        WindowServer::optionOnScreenOnly | WindowServer::optionExcludeDesktopElements, 0);
    bool wellFormed = list && list->is_array();
    if (wellFormed) {
        for (const auto& dictionary : *list)
            wellFormed = wellFormed && dictionary.is_object();
    }
    if (!wellFormed)
        throw Screenshot::Failure::capture("the window server returned no window list");

    // One lookup per process for this call; a failed lookup is remembered as "".
    std::map<std::int32_t, std::string> bundleIDs;
    std::vector<WindowEntry> entries;
    for (const auto& dictionary : *list) {
        const auto id = windowNumber(member(dictionary, WindowServer::keyNumber));
        if (!id)
            continue;
        WindowEntry entry;
        entry.id = *id;
        if (const Json* pid = member(dictionary, WindowServer::keyOwnerPID)) {
            if (const auto number = wholeNumber(*pid))
                entry.pid = static_cast<std::int32_t>(static_cast<std::uint32_t>(*number));
        }
        entry.frame = rectangle(member(dictionary, WindowServer::keyBounds)).value_or(Rect{});
        auto known = bundleIDs.find(entry.pid);
        if (known == bundleIDs.end())
            known = bundleIDs.emplace(entry.pid, platform.windowServer.bundleIdentifier(entry.pid).value_or("")).first;
        entry.bundleID = known->second;
        entry.app = text(member(dictionary, WindowServer::keyOwnerName));
        entry.title = text(member(dictionary, WindowServer::keyName));
        if (const Json* layer = member(dictionary, WindowServer::keyLayer))
            entry.layer = wholeNumber(*layer).value_or(0);
        entry.onScreen = flag(member(dictionary, WindowServer::keyIsOnscreen), true);
        entries.push_back(std::move(entry));
    }
    return entries;
}
