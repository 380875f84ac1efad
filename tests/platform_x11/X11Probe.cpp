// velmar-x11-probe: drives the X11 platform from standard input, one command a line, and
// answers each with one JSON line, so a test can change the X server between two calls of
// the same process.
//
//   content ONSCREEN EXCLUDEDESKTOP   the shareable content (flags 0 or 1)
//   displays                          the displays alone, as a display picture lists them
//   display PATH CURSOR [W H]         the main display's picture, raw BGRA rows, into PATH,
//                                     at W x H pixels when given
//   window ID PATH                    one window's picture into PATH
//   main                              the main display's id, bounds and pixel width
//   privacy                           the three privacy answers
//   set-stacking ID...                publishes _NET_CLIENT_LIST_STACKING (bottom to top)
//                                     on the root window, as a window manager does
//   unmapped TITLE                    creates a titled window that is never mapped
//   frame ID X Y                      puts window ID into a new frame window at (X, Y), at
//                                     (5, 20) inside it, as a reparenting window manager does
//   set-property ID NAME TYPE HEX     sets an 8-bit property of window ID to raw bytes, as
//                                     any client may, whatever they hold
//   window-server                     the older window-server path's list, with each owning
//                                     process's bundle identifier
//   lock-group N                      locks the keyboard to layout group N (0 to 3), as a
//                                     layout switcher does; answers the group in effect
//
// Failures answer {"error":"..."}.

#include "platform/linux/LinuxPrivacy.hpp"
#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11DisplayServer.hpp"
#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11ScreenCapture.hpp"
#include "platform/x11/X11WindowServer.hpp"

#include "base/Json.hpp"

// xcb's XKB header names a member `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

// Waits for a completion of the framework and notes whether it ran on another thread.
template <typename T> struct Outcome {
    std::optional<T> value;
    std::optional<PlatformError> error;
    bool otherThread = false;
};

// `displaysOnly`: the displays alone, not the whole listing.
Outcome<ShareableContent> content(X11ScreenCapture& capture, bool onScreen, bool excludeDesktop,
                                  bool displaysOnly = false)
{
    std::promise<Outcome<ShareableContent>> promise;
    const auto caller = std::this_thread::get_id();
    auto completion = [&](auto value, auto error) {
        promise.set_value({std::move(value), std::move(error), std::this_thread::get_id() != caller});
    };
    if (displaysOnly)
        capture.getShareableDisplays(completion);
    else
        capture.getShareableContent(excludeDesktop, onScreen, completion);
    return promise.get_future().get();
}

Outcome<Image> picture(X11ScreenCapture& capture, const ContentFilter& filter, bool cursor, std::int64_t width = 0,
                       std::int64_t height = 0)
{
    std::promise<Outcome<Image>> promise;
    const auto caller = std::this_thread::get_id();
    StreamConfiguration configuration;
    configuration.showsCursor = cursor;
    configuration.width = width;
    configuration.height = height;
    capture.captureImage(filter, configuration, [&](auto value, auto error) {
        promise.set_value({std::move(value), std::move(error), std::this_thread::get_id() != caller});
    });
    return promise.get_future().get();
}

Json windowJson(const ShareableWindow& window)
{
    Json entry = {{"id", window.windowID},
                  {"frame", {window.frame.x, window.frame.y, window.frame.width, window.frame.height}},
                  {"layer", window.windowLayer},
                  {"on_screen", window.isOnScreen},
                  {"title", window.title ? Json(*window.title) : Json(nullptr)}};
    if (window.owningApplication) {
        entry["pid"] = window.owningApplication->processID;
        entry["app"] = window.owningApplication->applicationName;
        entry["bundle_id"] = window.owningApplication->bundleIdentifier;
    }
    return entry;
}

Json answerPicture(const Outcome<Image>& outcome, const std::string& path)
{
    if (!outcome.value)
        return {{"error", outcome.error ? outcome.error->description : "no picture"}};
    const Image& image = *outcome.value;
    std::ofstream out(path, std::ios::binary);
    for (int y = 0; y < image.height; ++y)
        out.write(reinterpret_cast<const char*>(image.row(y)), static_cast<std::streamsize>(image.width) * 4);
    return {{"width", image.width}, {"height", image.height}, {"other_thread", outcome.otherThread}};
}

// The X11 services the probe drives, as the privacy checks reach them. It posts no input:
// an input connection would give back what an earlier process left, which tests look at.
class ProbeDisplayServer final : public DisplayServer {
public:
    ProbeDisplayServer(X11Connection& connection, X11Displays& displays, X11ScreenCapture& capture,
                       X11WindowServer& windowServer)
        : connection_(connection), displays_(displays), capture_(capture), windowServer_(windowServer)
    {
    }
    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return capture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { throw std::logic_error("the probe posts no input"); }
    bool canCapture() override { return x11CanCapture(connection_); }
    bool canPostInput() override { return x11CanPostInput(connection_); }

private:
    X11Connection& connection_;
    X11Displays& displays_;
    X11ScreenCapture& capture_;
    X11WindowServer& windowServer_;
};

} // namespace

int main()
{
    X11Connection connection;
    X11ScreenCapture capture(connection);
    X11Displays displays(connection);
    X11WindowServer windowServer(connection);
    ProbeDisplayServer displayServer(connection, displays, capture, windowServer);
    LinuxPrivacy privacy(displayServer);

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        Json answer;
        if (command == "content" || command == "displays") {
            int onScreen = 1, excludeDesktop = 0;
            words >> onScreen >> excludeDesktop;
            auto outcome = content(capture, onScreen != 0, excludeDesktop != 0, command == "displays");
            if (outcome.value) {
                answer = {{"displays", Json::array()}, {"windows", Json::array()}, {"other_thread", outcome.otherThread}};
                for (const auto& display : outcome.value->displays)
                    answer["displays"].push_back({{"id", display.displayID}, {"width", display.width}, {"height", display.height}});
                for (const auto& window : outcome.value->windows)
                    answer["windows"].push_back(windowJson(window));
            } else {
                answer = {{"error", outcome.error ? outcome.error->description : "no content"}};
            }
        } else if (command == "display") {
            std::string path;
            int cursor = 0;
            std::int64_t width = 0, height = 0;
            words >> path >> cursor >> width >> height;
            const std::uint32_t id = displays.mainDisplayID();
            answer = answerPicture(picture(capture, {ContentFilter::Kind::display, id, 1}, cursor != 0, width, height),
                                   path);
        } else if (command == "window") {
            std::uint32_t id = 0;
            std::string path;
            words >> id >> path;
            answer = answerPicture(picture(capture, {ContentFilter::Kind::window, id, 1}, false), path);
        } else if (command == "main") {
            const std::uint32_t id = displays.mainDisplayID();
            const Rect bounds = displays.bounds(id);
            answer = {{"id", id},
                      {"bounds", {bounds.x, bounds.y, bounds.width, bounds.height}},
                      {"mode_pixel_width", displays.modePixelWidth(id).value_or(-1)}};
        } else if (command == "privacy") {
            answer = {{"screen", privacy.preflightScreenCaptureAccess()},
                      {"accessibility", privacy.isProcessTrusted()},
                      {"microphone", privacy.microphoneAuthorizationStatus()}};
        } else if (command == "set-stacking") {
            std::vector<std::uint32_t> ids;
            for (std::uint32_t id; words >> id;)
                ids.push_back(id);
            connection.run([&](X11Session& session) {
                x11Check(session.connection,
                         xcb_change_property_checked(session.connection, XCB_PROP_MODE_REPLACE, session.root,
                                                     session.atoms.netClientListStacking, XCB_ATOM_WINDOW, 32,
                                                     static_cast<std::uint32_t>(ids.size()), ids.data()),
                         "ChangeProperty");
            });
            answer = {{"ok", true}};
        } else if (command == "unmapped") {
            std::string title;
            std::getline(words >> std::ws, title);
            const std::uint32_t window = connection.run([&](X11Session& session) {
                xcb_connection_t* c = session.connection;
                const xcb_window_t id = xcb_generate_id(c);
                xcb_create_window(c, XCB_COPY_FROM_PARENT, id, session.root, 30, 40, 50, 60, 0,
                                  XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
                x11Check(c,
                         xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                                     static_cast<std::uint32_t>(title.size()), title.data()),
                         "ChangeProperty");
                return id;
            });
            answer = {{"window", window}};
        } else if (command == "frame") {
            std::uint32_t id = 0;
            int x = 0, y = 0;
            words >> id >> x >> y;
            const std::uint32_t frame = connection.run([&](X11Session& session) {
                xcb_connection_t* c = session.connection;
                xcb_generic_error_t* error = nullptr;
                auto geometry = x11Required(c, xcb_get_geometry_reply(c, xcb_get_geometry(c, id), &error), error,
                                            "GetGeometry");
                const xcb_window_t window = xcb_generate_id(c);
                const std::uint32_t grey[] = {0x808080};
                xcb_create_window(c, XCB_COPY_FROM_PARENT, window, session.root, static_cast<std::int16_t>(x),
                                  static_cast<std::int16_t>(y), static_cast<std::uint16_t>(geometry->width + 10),
                                  static_cast<std::uint16_t>(geometry->height + 25), 2, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                                  XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, grey);
                xcb_reparent_window(c, id, window, 5, 20);
                x11Check(c, xcb_map_window_checked(c, window), "MapWindow");
                return window;
            });
            answer = {{"frame", frame}};
        } else if (command == "set-property") {
            std::uint32_t id = 0;
            std::string name, type, hex;
            words >> id >> name >> type >> hex;
            std::string bytes;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            connection.run([&](X11Session& session) {
                xcb_connection_t* c = session.connection;
                const auto intern = [&](const std::string& text) {
                    X11Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
                        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(text.size()), text.c_str()), nullptr));
                    return reply ? reply->atom : XCB_NONE;
                };
                x11Check(c,
                         xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, id, intern(name), intern(type), 8,
                                                     static_cast<std::uint32_t>(bytes.size()), bytes.data()),
                         "ChangeProperty");
            });
            answer = {{"ok", true}};
        } else if (command == "window-server") {
            const auto list = windowServer.copyWindowInfo(
                WindowServer::optionOnScreenOnly | WindowServer::optionExcludeDesktopElements, 0);
            answer = {{"windows", list ? *list : Json(nullptr)}, {"bundle_ids", Json::object()}};
            for (const auto& window : list ? *list : Json::array()) {
                if (const auto pid = window.find(WindowServer::keyOwnerPID); pid != window.end())
                    answer["bundle_ids"][std::to_string(pid->get<std::int32_t>())] =
                        windowServer.bundleIdentifier(pid->get<std::int32_t>()).value_or("");
            }
        } else if (command == "lock-group") {
            int group = 0;
            words >> group;
            const int inEffect = connection.run([&](X11Session& session) {
                xcb_connection_t* c = session.connection;
                X11Reply<xcb_xkb_use_extension_reply_t> version(
                    xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
                if (!version || !version->supported)
                    throw PlatformError("X11", 0, "no XKB");
                x11Check(c,
                         xcb_xkb_latch_lock_state_checked(c, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1,
                                                          static_cast<std::uint8_t>(group), 0, 0, 0),
                         "XkbLatchLockState");
                X11Reply<xcb_xkb_get_state_reply_t> state(
                    xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
                return state ? static_cast<int>(state->group) : -1;
            });
            answer = {{"group", inEffect}};
        } else {
            answer = {{"error", "unknown command " + command}};
        }
        std::cout << answer.dump() << std::endl;
    }
    return 0;
}
