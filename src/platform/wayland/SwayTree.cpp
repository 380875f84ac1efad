#include "platform/wayland/SwayTree.hpp"

#include "base/Text.hpp"

#include <algorithm>

namespace {

const Json* member(const Json& node, const char* key)
{
    if (!node.is_object())
        return nullptr;
    const auto found = node.find(key);
    return found == node.end() ? nullptr : &*found;
}

std::string text(const Json& node, const char* key)
{
    const Json* value = member(node, key);
    return value && value->is_string() ? validUTF8(value->get<std::string>()) : std::string();
}

double number(const Json* node, const char* key)
{
    const Json* value = node ? member(*node, key) : nullptr;
    return value && value->is_number() ? value->get<double>() : 0.0;
}

// A node's children in the order they were last focused, most recent first; children the
// focus list does not name follow in tree order.
std::vector<const Json*> focusOrdered(const Json& node, const char* key)
{
    std::vector<const Json*> children;
    if (const Json* list = member(node, key); list && list->is_array()) {
        for (const Json& child : *list)
            children.push_back(&child);
    }
    std::vector<std::int64_t> focus;
    if (const Json* list = member(node, "focus"); list && list->is_array()) {
        for (const Json& id : *list) {
            if (id.is_number_integer())
                focus.push_back(id.get<std::int64_t>());
        }
    }
    const auto rank = [&](const Json* child) {
        const Json* id = member(*child, "id");
        if (!id || !id->is_number_integer())
            return focus.size();
        const auto at = std::find(focus.begin(), focus.end(), id->get<std::int64_t>());
        return static_cast<std::size_t>(at - focus.begin());
    };
    std::stable_sort(children.begin(), children.end(),
                     [&](const Json* a, const Json* b) { return rank(a) < rank(b); });
    return children;
}

// A view: a container that holds a client's window.
bool isView(const Json& node)
{
    const Json* pid = member(node, "pid");
    return pid && pid->is_number_integer() && (member(node, "app_id") || member(node, "window"));
}

ShareableWindow windowOf(const Json& node, double originX, double originY)
{
    ShareableWindow window;
    window.windowID = static_cast<std::uint32_t>(member(node, "id")->get<std::int64_t>());
    if (const Json* name = member(node, "name"); name && name->is_string())
        window.title = validUTF8(name->get<std::string>());
    const Json* rect = member(node, "rect");
    const Json* content = member(node, "window_rect");
    if (number(content, "width") > 0 && number(content, "height") > 0)
        window.frame = {number(rect, "x") + number(content, "x") - originX, number(rect, "y") + number(content, "y") - originY,
                        number(content, "width"), number(content, "height")};
    else
        window.frame = {number(rect, "x") - originX, number(rect, "y") - originY, number(rect, "width"),
                        number(rect, "height")};
    const Json* visible = member(node, "visible");
    window.isOnScreen = visible && visible->is_boolean() && visible->get<bool>();

    OwningApplication application;
    application.processID = static_cast<std::int32_t>(member(node, "pid")->get<std::int64_t>());
    // A Wayland client's app id names its desktop file; a window of the X server inside
    // sway has its X class instead, as on X11.
    std::string identifier = text(node, "app_id");
    if (identifier.empty()) {
        if (const Json* properties = member(node, "window_properties"))
            identifier = text(*properties, "class");
    }
    application.applicationName = identifier;
    application.bundleIdentifier = identifier;
    window.owningApplication = std::move(application);
    return window;
}

void collect(const Json& node, double originX, double originY, std::vector<ShareableWindow>& windows)
{
    const Json* id = member(node, "id");
    if (isView(node) && id && id->is_number_integer() && id->get<std::int64_t>() >= 0
        && id->get<std::int64_t>() <= 0xffffffffll)
        windows.push_back(windowOf(node, originX, originY));
    // Floating windows are drawn above the tiled ones of their workspace.
    for (const Json* child : focusOrdered(node, "floating_nodes"))
        collect(*child, originX, originY, windows);
    for (const Json* child : focusOrdered(node, "nodes"))
        collect(*child, originX, originY, windows);
}

} // namespace

std::vector<ShareableWindow> swayWindows(const Json& tree, const WaylandLayout& layout)
{
    const WaylandOutput* main = layout.main();
    std::vector<ShareableWindow> windows;
    collect(tree, main ? main->x : 0, main ? main->y : 0, windows);
    return windows;
}
