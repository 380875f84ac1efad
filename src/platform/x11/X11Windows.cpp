#include "platform/x11/X11Windows.hpp"

#include "base/Text.hpp"
#include "platform/x11/X11Image.hpp"

#include <xcb/composite.h>
#include <xcb/res.h>

#include <algorithm>
#include <cstring>

namespace {

// How deep below a top-level window the client window is looked for: window managers
// reparent into a frame, some into a frame inside a frame.
constexpr int frameDepth = 4;

std::string latin1ToUTF8(const char* text, std::size_t length)
{
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

std::vector<std::uint32_t> values32(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 32)
        return {};
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    return {data, data + xcb_get_property_value_length(reply) / 4};
}

std::string_view bytes8(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 8 || reply->type == XCB_NONE)
        return {};
    return {static_cast<const char*>(xcb_get_property_value(reply)),
            static_cast<std::size_t>(xcb_get_property_value_length(reply))};
}

// A text property that should hold UTF-8, as valid UTF-8 whatever its client wrote. A value
// longer than was asked for comes back cut at the limit, perhaps inside a character.
std::string utf8Text(const xcb_get_property_reply_t* reply)
{
    return validUTF8(bytes8(reply), reply && reply->bytes_after > 0 ? Ending::cut : Ending::whole);
}

// The window's text from a property of either kind: UTF8_STRING, or STRING, which is Latin-1.
std::string text(const X11Session& session, const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 8 || reply->type == XCB_NONE)
        return {};
    if (reply->type == session.atoms.utf8String)
        return utf8Text(reply);
    const std::string_view latin1 = bytes8(reply);
    return latin1ToUTF8(latin1.data(), latin1.size());
}

// The desktop-file id an application publishes on its windows ("org.gnome.Nautilus"), from
// an id or from the desktop file's path; "" when there is none.
std::string desktopFileID(const X11Session& session, const xcb_get_property_reply_t* reply)
{
    std::string id = text(session, reply);
    if (const auto slash = id.rfind('/'); slash != std::string::npos)
        id.erase(0, slash + 1);
    constexpr std::string_view suffix = ".desktop";
    if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
        id.resize(id.size() - suffix.size());
    return id;
}

xcb_get_property_cookie_t property(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type,
                                   std::uint32_t longs)
{
    return xcb_get_property(connection, 0, window, name, type, 0, longs);
}

using PropertyReply = X11Reply<xcb_get_property_reply_t>;

PropertyReply propertyReply(xcb_connection_t* connection, xcb_get_property_cookie_t cookie)
{
    return x11Reply(connection, xcb_get_property_reply(connection, cookie, nullptr), nullptr);
}

std::vector<xcb_window_t> childrenTopFirst(const xcb_query_tree_reply_t* tree)
{
    if (!tree)
        return {};
    const xcb_window_t* children = xcb_query_tree_children(tree);
    // QueryTree lists children bottom to top.
    std::vector<xcb_window_t> list(children, children + xcb_query_tree_children_length(tree));
    std::reverse(list.begin(), list.end());
    return list;
}

// Stage 2: for each top-level window, the first window at or below it that carries WM_STATE.
std::vector<xcb_window_t> clientsWithWMState(X11Session& session, const std::vector<xcb_window_t>& topLevels)
{
    xcb_connection_t* connection = session.connection;
    std::vector<xcb_window_t> client(topLevels.size(), XCB_NONE);
    // (index of the top-level, window to test)
    std::vector<std::pair<std::size_t, xcb_window_t>> frontier;
    for (std::size_t i = 0; i < topLevels.size(); ++i)
        frontier.emplace_back(i, topLevels[i]);
    for (int depth = 0; depth <= frameDepth && !frontier.empty(); ++depth) {
        std::vector<xcb_get_property_cookie_t> stateCookies;
        for (const auto& [index, window] : frontier)
            stateCookies.push_back(property(connection, window, session.atoms.wmState, XCB_GET_PROPERTY_TYPE_ANY, 0));
        std::vector<std::pair<std::size_t, xcb_window_t>> deeper;
        for (std::size_t i = 0; i < frontier.size(); ++i) {
            auto state = propertyReply(connection, stateCookies[i]);
            const auto [index, window] = frontier[i];
            if (client[index] != XCB_NONE)
                continue;
            if (state && state->type != XCB_NONE)
                client[index] = window;
            else
                deeper.push_back(frontier[i]);
        }
        if (depth == frameDepth)
            break;
        std::vector<xcb_query_tree_cookie_t> treeCookies;
        for (const auto& [index, window] : deeper)
            treeCookies.push_back(xcb_query_tree(connection, window));
        frontier.clear();
        for (std::size_t i = 0; i < deeper.size(); ++i) {
            auto tree = x11Reply(connection, xcb_query_tree_reply(connection, treeCookies[i], nullptr), nullptr);
            for (xcb_window_t child : childrenTopFirst(tree.get()))
                frontier.emplace_back(deeper[i].first, child);
        }
    }
    return client;
}

// Stage 3: what a bare X server shows.
std::vector<xcb_window_t> viewableTopLevels(X11Session& session, const std::vector<xcb_window_t>& topLevels)
{
    xcb_connection_t* connection = session.connection;
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (xcb_window_t window : topLevels)
        cookies.push_back(xcb_get_window_attributes(connection, window));
    std::vector<xcb_window_t> windows;
    for (std::size_t i = 0; i < topLevels.size(); ++i) {
        auto attributes =
            x11Reply(connection, xcb_get_window_attributes_reply(connection, cookies[i], nullptr), nullptr);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE
            && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && !attributes->override_redirect)
            windows.push_back(topLevels[i]);
    }
    return windows;
}

std::vector<xcb_window_t> candidateWindows(X11Session& session)
{
    xcb_connection_t* connection = session.connection;
    auto stackingCookie =
        property(connection, session.root, session.atoms.netClientListStacking, XCB_ATOM_WINDOW, 1u << 16);
    auto treeCookie = xcb_query_tree(connection, session.root);
    auto stacking = propertyReply(connection, stackingCookie);
    auto tree = x11Reply(connection, xcb_query_tree_reply(connection, treeCookie, nullptr), nullptr);
    if (stacking && stacking->type == XCB_ATOM_WINDOW) {
        // The window manager lists bottom to top.
        std::vector<std::uint32_t> list = values32(stacking.get());
        return {list.rbegin(), list.rend()};
    }
    std::vector<xcb_window_t> topLevels = childrenTopFirst(tree.get());
    std::vector<xcb_window_t> clients = clientsWithWMState(session, topLevels);
    std::vector<xcb_window_t> found;
    for (xcb_window_t window : clients) {
        if (window != XCB_NONE)
            found.push_back(window);
    }
    if (!found.empty())
        return found;
    return viewableTopLevels(session, topLevels);
}

struct WindowCookies {
    xcb_get_geometry_cookie_t geometry;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_translate_coordinates_cookie_t origin;
    xcb_get_property_cookie_t netName, name, pid, wmClass, type, state;
    // In order of preference.
    xcb_get_property_cookie_t desktopFile[3];
};

std::int64_t layerOf(const X11Session& session, const std::vector<std::uint32_t>& types,
                     const std::vector<std::uint32_t>& states)
{
    auto has = [](const std::vector<std::uint32_t>& list, xcb_atom_t atom) {
        return atom != XCB_NONE && std::find(list.begin(), list.end(), atom) != list.end();
    };
    const auto& atoms = session.atoms;
    if (has(types, atoms.netWMWindowTypeDesktop))
        return -2;
    if (has(types, atoms.netWMWindowTypeDock))
        return 20;
    if (has(states, atoms.netWMStateAbove))
        return 3;
    if (has(states, atoms.netWMStateBelow))
        return -1;
    return 0;
}

// Process ids through the X-Resource extension: the server knows which local client made
// each window, even when the application never set _NET_WM_PID.
void fillPidsFromServer(X11Session& session, const std::vector<xcb_window_t>& windows,
                        std::vector<ShareableWindow>& entries)
{
    if (!session.hasXRes)
        return;
    xcb_connection_t* connection = session.connection;
    std::vector<std::pair<std::size_t, xcb_res_query_client_ids_cookie_t>> cookies;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].owningApplication && entries[i].owningApplication->processID > 0)
            continue;
        xcb_res_client_id_spec_t spec{windows[i], XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        cookies.emplace_back(i, xcb_res_query_client_ids(connection, 1, &spec));
    }
    for (auto& [index, cookie] : cookies) {
        auto reply = x11Reply(connection, xcb_res_query_client_ids_reply(connection, cookie, nullptr), nullptr);
        if (!reply)
            continue;
        for (auto ids = xcb_res_query_client_ids_ids_iterator(reply.get()); ids.rem; xcb_res_client_id_value_next(&ids)) {
            if ((ids.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && ids.data->length >= 4) {
                const std::uint32_t pid = *xcb_res_client_id_value_value(ids.data);
                if (!entries[index].owningApplication)
                    entries[index].owningApplication = OwningApplication{};
                entries[index].owningApplication->processID = static_cast<std::int32_t>(pid);
                break;
            }
        }
    }
}

} // namespace

std::vector<ShareableWindow> x11Windows(X11Session& session, const X11DisplayLayout& layout, bool onScreenWindowsOnly,
                                        bool excludingDesktopWindows)
{
    xcb_connection_t* connection = session.connection;
    const auto& atoms = session.atoms;
    const std::vector<xcb_window_t> candidates = candidateWindows(session);

    std::vector<WindowCookies> cookies;
    cookies.reserve(candidates.size());
    for (xcb_window_t window : candidates) {
        cookies.push_back({xcb_get_geometry(connection, window), xcb_get_window_attributes(connection, window),
                           xcb_translate_coordinates(connection, window, session.root, 0, 0),
                           property(connection, window, atoms.netWMName, atoms.utf8String, 4096),
                           property(connection, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 4096),
                           property(connection, window, atoms.netWMPid, XCB_ATOM_CARDINAL, 1),
                           property(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024),
                           property(connection, window, atoms.netWMWindowType, XCB_ATOM_ATOM, 64),
                           property(connection, window, atoms.netWMState, XCB_ATOM_ATOM, 64),
                           {property(connection, window, atoms.gtkApplicationID, XCB_GET_PROPERTY_TYPE_ANY, 256),
                            property(connection, window, atoms.kdeDesktopFile, XCB_GET_PROPERTY_TYPE_ANY, 256),
                            property(connection, window, atoms.bamfDesktopFile, XCB_GET_PROPERTY_TYPE_ANY, 1024)}});
    }

    const X11Monitor& main = layout.mainMonitor();
    std::vector<ShareableWindow> entries;
    std::vector<xcb_window_t> entryWindows;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const WindowCookies& c = cookies[i];
        // Read every reply, even of a window left out, so that none stays queued.
        auto geometry = x11Reply(connection, xcb_get_geometry_reply(connection, c.geometry, nullptr), nullptr);
        auto attributes = x11Reply(connection, xcb_get_window_attributes_reply(connection, c.attributes, nullptr), nullptr);
        auto origin = x11Reply(connection, xcb_translate_coordinates_reply(connection, c.origin, nullptr), nullptr);
        auto netName = propertyReply(connection, c.netName);
        auto name = propertyReply(connection, c.name);
        auto pid = propertyReply(connection, c.pid);
        auto wmClass = propertyReply(connection, c.wmClass);
        auto type = propertyReply(connection, c.type);
        auto state = propertyReply(connection, c.state);
        std::string desktopFile;
        for (const auto& cookie : c.desktopFile) {
            auto reply = propertyReply(connection, cookie);
            if (desktopFile.empty())
                desktopFile = desktopFileID(session, reply.get());
        }
        if (!geometry || !attributes || !origin)
            continue; // gone while we asked
        const bool onScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        if (onScreenWindowsOnly && !onScreen)
            continue;
        const std::vector<std::uint32_t> types = values32(type.get());
        if (excludingDesktopWindows && atoms.netWMWindowTypeDesktop != XCB_NONE
            && std::find(types.begin(), types.end(), atoms.netWMWindowTypeDesktop) != types.end())
            continue;

        ShareableWindow entry;
        entry.windowID = candidates[i];
        entry.frame = {static_cast<double>(origin->dst_x - main.x), static_cast<double>(origin->dst_y - main.y),
                       static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
        if (netName && netName->type == atoms.utf8String && netName->format == 8)
            entry.title = utf8Text(netName.get());
        else if (name && name->format == 8 && name->type != XCB_NONE)
            entry.title = text(session, name.get());
        entry.windowLayer = layerOf(session, types, values32(state.get()));
        entry.isOnScreen = onScreen;

        const std::vector<std::uint32_t> pids = values32(pid.get());
        std::string_view classes = bytes8(wmClass.get());
        if (!pids.empty() || !classes.empty() || !desktopFile.empty()) {
            OwningApplication application;
            application.processID = pids.empty() ? 0 : static_cast<std::int32_t>(pids.front());
            // WM_CLASS holds two NUL-terminated Latin-1 strings: the instance, which the
            // user can change (-name), then the class, the application's own.
            const std::size_t split = classes.find('\0');
            std::string_view className =
                split == std::string_view::npos ? std::string_view{} : classes.substr(split + 1);
            className = className.substr(0, className.find('\0'));
            application.applicationName = latin1ToUTF8(className.data(), className.size());
            application.bundleIdentifier = desktopFile.empty() ? application.applicationName : desktopFile;
            entry.owningApplication = std::move(application);
        }
        entries.push_back(std::move(entry));
        entryWindows.push_back(candidates[i]);
    }
    fillPidsFromServer(session, entryWindows, entries);
    return entries;
}

X11WindowPicture x11ReadWindow(X11Session& session, xcb_window_t window)
{
    xcb_connection_t* connection = session.connection;
    auto attributesCookie = xcb_get_window_attributes(connection, window);
    auto treeCookie = xcb_query_tree(connection, window);
    xcb_generic_error_t* error = nullptr;
    auto attributes = x11Required(connection, xcb_get_window_attributes_reply(connection, attributesCookie, &error),
                                  error, "GetWindowAttributes");
    error = nullptr;
    auto tree = x11Required(connection, xcb_query_tree_reply(connection, treeCookie, &error), error, "QueryTree");
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE)
        throw PlatformError("X11", 0, "window " + std::to_string(window) + " is not mapped");

    // The Composite pixmap belongs to the top-level ancestor (a window manager's frame, or
    // the window itself on a bare server); the window is cut out of it.
    xcb_window_t topLevel = window;
    for (int depth = 0; depth < 64 && tree->parent != session.root && tree->parent != XCB_NONE; ++depth) {
        topLevel = tree->parent;
        error = nullptr;
        tree = x11Required(connection, xcb_query_tree_reply(connection, xcb_query_tree(connection, topLevel), &error),
                           error, "QueryTree");
    }
    auto geometryCookie = xcb_get_geometry(connection, window);
    auto topGeometryCookie = xcb_get_geometry(connection, topLevel);
    auto insideTopCookie = xcb_translate_coordinates(connection, window, topLevel, 0, 0);
    auto onRootCookie = xcb_translate_coordinates(connection, window, session.root, 0, 0);
    error = nullptr;
    auto geometry = x11Required(connection, xcb_get_geometry_reply(connection, geometryCookie, &error), error, "GetGeometry");
    error = nullptr;
    auto topGeometry =
        x11Required(connection, xcb_get_geometry_reply(connection, topGeometryCookie, &error), error, "GetGeometry");
    error = nullptr;
    auto insideTop = x11Required(connection, xcb_translate_coordinates_reply(connection, insideTopCookie, &error), error,
                                 "TranslateCoordinates");
    error = nullptr;
    auto onRoot = x11Required(connection, xcb_translate_coordinates_reply(connection, onRootCookie, &error), error,
                              "TranslateCoordinates");

    X11WindowPicture picture;
    picture.rootX = onRoot->dst_x;
    picture.rootY = onRoot->dst_y;
    if (session.compositeRedirected) {
        const xcb_pixmap_t pixmap = xcb_generate_id(connection);
        x11Check(connection, xcb_composite_name_window_pixmap_checked(connection, topLevel, pixmap),
                 "NameWindowPixmap");
        // The pixmap covers the top-level window's border too.
        const int border = topGeometry->border_width;
        try {
            picture.image = x11ReadImage(session, pixmap, border + insideTop->dst_x, border + insideTop->dst_y,
                                         geometry->width, geometry->height);
        } catch (...) {
            xcb_free_pixmap(connection, pixmap);
            throw;
        }
        xcb_free_pixmap(connection, pixmap);
        return picture;
    }
    // Without Composite, what is visible of the window is all there is.
    picture.image = x11ReadImage(session, window, 0, 0, geometry->width, geometry->height);
    return picture;
}
