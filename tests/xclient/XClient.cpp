// velmar-test-xclient: opens titled windows filled with one colour each and reports, one
// JSON line per event on standard output, the key, button and motion events they receive.
//
//   velmar-test-xclient [--set-wm-state] --window TITLE:WxH+X+Y:RRGGBB [--window ...]
//
// First line, once every window is mapped and exposed:
//   {"event":"ready","windows":[{"id":N,"title":"..."}]}
// then per event:
//   {"event":"key","down":true,"keycode":K,"keysym":S,"state":M,"time":T}
//   {"event":"button","down":true,"button":B,"x":X,"y":Y,"root_x":RX,"root_y":RY,"state":M,"time":T}
//   {"event":"motion","x":X,"y":Y,"root_x":RX,"root_y":RY,"state":M,"time":T}
// It exits when standard input closes.
//
// Keysyms come from the server's XKB keymap through xkbcommon, with the modifiers and group
// of the event applied, so AltGr and Shift levels read as a real application reads them.
// The keymap is fetched again after every mapping change (a rebound keycode, a new layout).

#include <xcb/xcb.h>
// xcb's XKB header names a member `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct WindowSpec {
    std::string title;
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
    std::uint32_t rgb = 0;
    xcb_window_t id = 0;
    bool mapped = false;
    bool exposed = false;
};

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "velmar-test-xclient: %s\n", message.c_str());
    std::exit(2);
}

// TITLE:WxH+X+Y:RRGGBB, split from the right so a title may hold colons.
WindowSpec parseWindow(const std::string& text)
{
    auto colour = text.rfind(':');
    if (colour == std::string::npos || colour == 0)
        fail("bad --window " + text);
    auto geometry = text.rfind(':', colour - 1);
    if (geometry == std::string::npos)
        fail("bad --window " + text);
    WindowSpec spec;
    spec.title = text.substr(0, geometry);
    std::string geometryText = text.substr(geometry + 1, colour - geometry - 1);
    std::string colourText = text.substr(colour + 1);
    char end = 0;
    if (std::sscanf(geometryText.c_str(), "%dx%d%d%d%c", &spec.width, &spec.height, &spec.x, &spec.y, &end) != 4
        || spec.width <= 0 || spec.height <= 0)
        fail("bad geometry " + geometryText);
    if (colourText.size() != 6 || colourText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        fail("bad colour " + colourText);
    spec.rgb = static_cast<std::uint32_t>(std::strtoul(colourText.c_str(), nullptr, 16));
    return spec;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void emit(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr));
    if (!reply)
        fail(std::string("cannot intern ") + name);
    return reply->atom;
}

// The pixel value of an RGB colour in a TrueColor visual, from its channel masks.
std::uint32_t pixelOf(const xcb_visualtype_t* visual, std::uint32_t rgb)
{
    if (!visual)
        return rgb;
    auto channel = [](std::uint32_t value8, std::uint32_t mask) -> std::uint32_t {
        if (!mask)
            return 0;
        int shift = __builtin_ctz(mask);
        int bits = __builtin_popcount(mask);
        std::uint32_t scaled = bits >= 8 ? value8 << (bits - 8) : value8 >> (8 - bits);
        return (scaled << shift) & mask;
    };
    return channel((rgb >> 16) & 0xff, visual->red_mask) | channel((rgb >> 8) & 0xff, visual->green_mask)
        | channel(rgb & 0xff, visual->blue_mask);
}

const xcb_visualtype_t* rootVisual(const xcb_screen_t* screen)
{
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen->root_visual)
                return visuals.data;
        }
    }
    return nullptr;
}

class Keymap {
public:
    explicit Keymap(xcb_connection_t* connection) : connection_(connection)
    {
        context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (!context_)
            fail("no xkb context");
        if (!xkb_x11_setup_xkb_extension(connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &firstEvent_, nullptr))
            fail("the X server has no XKB extension");
        device_ = xkb_x11_get_core_keyboard_device_id(connection_);
        std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP
            | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS
            | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        xcb_xkb_select_events(connection_, static_cast<xcb_xkb_device_spec_t>(device_), events, 0, events, mapParts,
                              mapParts, nullptr);
        reload();
    }

    ~Keymap()
    {
        xkb_state_unref(state_);
        xkb_keymap_unref(keymap_);
        xkb_context_unref(context_);
    }

    void reload()
    {
        xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context_, connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!keymap)
            return; // keep the previous map rather than lose every keysym
        xkb_state* state = xkb_state_new(keymap);
        xkb_state_unref(state_);
        xkb_keymap_unref(keymap_);
        keymap_ = keymap;
        state_ = state;
    }

    bool isXkbEvent(std::uint8_t responseType) const { return responseType == firstEvent_; }

    // The keysym for a keycode under an event's state: modifiers in the low byte, the XKB
    // group in bits 13 and 14.
    std::uint32_t keysym(xcb_keycode_t keycode, std::uint16_t eventState)
    {
        xkb_state_update_mask(state_, eventState & 0xff, 0, 0, 0, 0, (eventState >> 13) & 3);
        return xkb_state_key_get_one_sym(state_, keycode);
    }

private:
    xcb_connection_t* connection_;
    xkb_context* context_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    xkb_state* state_ = nullptr;
    std::int32_t device_ = 0;
    std::uint8_t firstEvent_ = 0;
};

std::string pointerFields(int x, int y, int rootX, int rootY, unsigned state, unsigned time)
{
    return ",\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) + ",\"root_x\":" + std::to_string(rootX)
        + ",\"root_y\":" + std::to_string(rootY) + ",\"state\":" + std::to_string(state)
        + ",\"time\":" + std::to_string(time) + "}";
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<WindowSpec> windows;
    bool setWMState = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--window" && i + 1 < argc)
            windows.push_back(parseWindow(argv[++i]));
        else if (arg == "--set-wm-state")
            setWMState = true;
        else
            fail("usage: velmar-test-xclient [--set-wm-state] --window TITLE:WxH+X+Y:RRGGBB ...");
    }

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection))
        fail("cannot connect to the X display");
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    xcb_screen_t* screen = screens.data;
    const xcb_visualtype_t* visual = rootVisual(screen);

    Keymap keymap(connection);
    xcb_atom_t netWMName = atom(connection, "_NET_WM_NAME");
    xcb_atom_t utf8String = atom(connection, "UTF8_STRING");
    xcb_atom_t netWMPid = atom(connection, "_NET_WM_PID");
    xcb_atom_t wmState = atom(connection, "WM_STATE");

    const char wmClass[] = "velmar-test-xclient\0VelmarTestXclient";
    std::uint32_t pid = static_cast<std::uint32_t>(getpid());
    for (auto& window : windows) {
        window.id = xcb_generate_id(connection);
        std::uint32_t values[] = {pixelOf(visual, window.rgb),
                                  XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_KEY_PRESS
                                      | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS
                                      | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window.id, screen->root, static_cast<std::int16_t>(window.x),
                          static_cast<std::int16_t>(window.y), static_cast<std::uint16_t>(window.width),
                          static_cast<std::uint16_t>(window.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        const auto& title = window.title;
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window.id, netWMName, utf8String, 8, title.size(),
                            title.data());
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            title.size(), title.data());
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window.id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            sizeof wmClass, wmClass);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window.id, netWMPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
        if (setWMState) {
            std::uint32_t state[] = {1 /* NormalState */, XCB_NONE};
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window.id, wmState, wmState, 32, 2, state);
        }
        xcb_map_window(connection, window.id);
    }
    xcb_flush(connection);

    bool ready = windows.empty();
    if (ready)
        emit("{\"event\":\"ready\",\"windows\":[]}");

    pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection)) {
            std::unique_ptr<xcb_generic_event_t, Free> event(raw);
            std::uint8_t type = event->response_type & 0x7f;
            if (keymap.isXkbEvent(type)) {
                keymap.reload();
                continue;
            }
            switch (type) {
            case XCB_MAP_NOTIFY:
            case XCB_EXPOSE: {
                xcb_window_t id = type == XCB_EXPOSE ? reinterpret_cast<xcb_expose_event_t*>(raw)->window
                                                     : reinterpret_cast<xcb_map_notify_event_t*>(raw)->window;
                for (auto& window : windows) {
                    if (window.id == id)
                        (type == XCB_EXPOSE ? window.exposed : window.mapped) = true;
                }
                if (!ready) {
                    ready = true;
                    for (const auto& window : windows)
                        ready = ready && window.mapped && window.exposed;
                    if (ready) {
                        std::string line = "{\"event\":\"ready\",\"windows\":[";
                        for (std::size_t i = 0; i < windows.size(); ++i) {
                            line += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(windows[i].id)
                                + ",\"title\":" + jsonString(windows[i].title) + "}";
                        }
                        emit(line + "]}");
                    }
                }
                break;
            }
            case XCB_MAPPING_NOTIFY:
                keymap.reload();
                break;
            case XCB_KEY_PRESS:
            case XCB_KEY_RELEASE: {
                auto* key = reinterpret_cast<xcb_key_press_event_t*>(raw);
                emit(std::string("{\"event\":\"key\",\"down\":") + (type == XCB_KEY_PRESS ? "true" : "false")
                     + ",\"keycode\":" + std::to_string(key->detail)
                     + ",\"keysym\":" + std::to_string(keymap.keysym(key->detail, key->state))
                     + ",\"state\":" + std::to_string(key->state) + ",\"time\":" + std::to_string(key->time) + "}");
                break;
            }
            case XCB_BUTTON_PRESS:
            case XCB_BUTTON_RELEASE: {
                auto* button = reinterpret_cast<xcb_button_press_event_t*>(raw);
                emit(std::string("{\"event\":\"button\",\"down\":") + (type == XCB_BUTTON_PRESS ? "true" : "false")
                     + ",\"button\":" + std::to_string(button->detail)
                     + pointerFields(button->event_x, button->event_y, button->root_x, button->root_y, button->state,
                                     button->time));
                break;
            }
            case XCB_MOTION_NOTIFY: {
                auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(raw);
                emit("{\"event\":\"motion\"" + pointerFields(motion->event_x, motion->event_y, motion->root_x,
                                                               motion->root_y, motion->state, motion->time));
                break;
            }
            default:
                break;
            }
        }
        if (xcb_connection_has_error(connection))
            fail("the X connection broke");
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents) {
            char buffer[256];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
                break;
        }
    }
    xcb_disconnect(connection);
    return 0;
}
