#include "input/Input.hpp"

#include "input/Keys.hpp"
#include "platform/Displays.hpp"
#include "platform/Platform.hpp"
#include "service/Service.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

namespace {

constexpr std::int64_t afterSelectAll = 50;

std::string stringMember(const Json& action, const char* key)
{
    const Json* value = Service::member(action, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// True only for JSON true, or a number equal to 1 as the lenient reader takes it.
bool booleanMember(const Json& action, const char* key)
{
    const Json* value = Service::member(action, key);
    if (!value)
        return false;
    if (value->is_boolean())
        return value->get<bool>();
    if (value->is_number())
        return value->get<double>() == 1.0;
    return false;
}

// Each element in its plain printed form: 5 names the "5" key, true names "1". Null, arrays
// and objects give a fixed text that names no key: a caller's nested value is never walked
// to print it.
std::vector<std::string> keyNames(const Json& action)
{
    std::vector<std::string> names;
    const Json* keys = Service::member(action, "keys");
    if (!keys || !keys->is_array())
        return names;
    for (const Json& element : *keys) {
        if (element.is_string()) {
            names.push_back(element.get<std::string>());
        } else if (element.is_number_unsigned()) {
            names.push_back(std::to_string(element.get<std::uint64_t>()));
        } else if (element.is_number_integer()) {
            names.push_back(std::to_string(element.get<std::int64_t>()));
        } else if (element.is_number_float()) {
            std::ostringstream text;
            text.imbue(std::locale::classic());
            text << element.get<double>();
            names.push_back(text.str());
        } else if (element.is_boolean()) {
            names.push_back(element.get<bool>() ? "1" : "0");
        } else if (element.is_array()) {
            names.push_back("[...]");
        } else if (element.is_object()) {
            names.push_back("{...}");
        } else {
            names.push_back("null");
        }
    }
    return names;
}

} // namespace

Input::Input(Platform& platform)
    : Input(platform.inputEvents, platform.clock, platform.displays)
{
}

Input::Input(InputEvents& events, Clock& clock, Displays& displays)
    : events_(events), clock_(clock), displays_(displays), keyboard_(events, clock),
      mouse_(events, clock, keyboard_)
{
}

std::optional<InputPoint> Input::point(const Json& action, const char* xKey, const char* yKey) const
{
    const auto x = Service::number(Service::member(action, xKey));
    if (!x)
        return std::nullopt;
    const auto y = Service::number(Service::member(action, yKey));
    if (!y)
        return std::nullopt;
    if (!std::isfinite(*x) || !std::isfinite(*y))
        return std::nullopt;
    const Rect bounds = displays_.bounds(displays_.mainDisplayID());
    const double minX = std::min(bounds.x, bounds.x + bounds.width);
    const double maxX = std::max(bounds.x, bounds.x + bounds.width);
    const double minY = std::min(bounds.y, bounds.y + bounds.height);
    const double maxY = std::max(bounds.y, bounds.y + bounds.height);
    return InputPoint{std::min(std::max(*x, minX), maxX - 1), std::min(std::max(*y, minY), maxY - 1)};
}

void Input::perform(const Json& action)
{
    const std::string name = stringMember(action, "action");
    const auto needsPoint = [&] {
        const auto at = point(action, "x", "y");
        if (!at)
            throw Failure{name + " needs x and y"};
        return *at;
    };
    const auto needsKeys = [&](const std::string& failure) {
        auto names = keyNames(action);
        if (names.empty())
            throw Failure{failure};
        return names;
    };

    if (name == "move" || name == "hover") {
        mouse_.move(needsPoint());
    } else if (name == "click" || name == "left_click") {
        mouse_.click(needsPoint(), Mouse::Button::left, 1);
    } else if (name == "double_click" || name == "left_double") {
        mouse_.click(needsPoint(), Mouse::Button::left, 2);
    } else if (name == "right_click" || name == "right_single") {
        mouse_.click(needsPoint(), Mouse::Button::right, 1);
    } else if (name == "middle_click") {
        mouse_.click(needsPoint(), Mouse::Button::middle, 1);
    } else if (name == "drag" || name == "left_click_drag") {
        const InputPoint from = needsPoint();
        const auto to = point(action, "x2", "y2");
        if (!to)
            throw Failure{"drag needs x2 and y2"};
        mouse_.drag(from, *to);
    } else if (name == "scroll") {
        const double dy = Service::number(Service::member(action, "dy")).value_or(300);
        if (const auto at = point(action, "x", "y"))
            mouse_.move(*at);
        mouse_.scroll(dy);
    } else if (name == "type") {
        const std::string text = stringMember(action, "text");
        if (text.empty())
            throw Failure{"type needs text"};
        const bool submit = booleanMember(action, "submit");
        // Before the select-all of `clear`: a text that cannot be typed changes nothing.
        keyboard_.checkTypable(text);
        if (booleanMember(action, "clear")) {
            keyboard_.hotkey({"cmd", "a"});
            pause(clock_, afterSelectAll);
        }
        keyboard_.type(text);
        if (submit)
            keyboard_.tap(Keys::returnKey, 0);
    } else if (name == "key" || name == "hotkey") {
        keyboard_.hotkey(needsKeys("key needs keys"));
    } else if (name == "press" || name == "release") {
        const auto names = needsKeys(name + " needs keys");
        if (name == "press")
            keyboard_.press(names);
        else
            keyboard_.release(names);
    } else if (name == "wait") {
        const auto seconds = Service::number(Service::member(action, "seconds"));
        double milliseconds = 1000;
        if (seconds)
            milliseconds = *seconds >= 0.2 ? std::min(*seconds, 10.0) * 1000 : 200;
        pause(clock_, static_cast<std::int64_t>(milliseconds));
    } else {
        throw Failure{"unknown action '" + name + "'"};
    }
}

void Input::releaseAll()
{
    // The platform lets go of what it still holds even when the keyboard's releases fail.
    try {
        keyboard_.releaseAll();
    } catch (...) {
        events_.relinquish();
        throw;
    }
    events_.relinquish();
}
