// X11 capture figures on the display named by DISPLAY (bench/x11_capture.py starts an Xvfb
// of 1920x1080 with 100 client windows and runs this). Each figure is printed beside a
// baseline measured in the same run:
//   window list:      the batched listing against one round trip per request;
//   display capture:  MIT-SHM GetImage against plain GetImage, then the whole framework
//                     call (worker thread, completion, cursor drawn in);
//   window capture:   the Composite picture of one window.

#include "platform/x11/X11Connection.hpp"
#include "platform/x11/X11Displays.hpp"
#include "platform/x11/X11Image.hpp"
#include "platform/x11/X11ScreenCapture.hpp"
#include "platform/x11/X11Windows.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <vector>

namespace {

double medianMilliseconds(int rounds, const std::function<void()>& work)
{
    work(); // warm up: connection, atoms, shared memory
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void print(const char* what, double ms, const char* baselineName, double baseline)
{
    std::printf("%-34s %9.3f ms   %-28s %9.3f ms\n", what, ms, baselineName, baseline);
}

// The same properties as the window list, asked one after the other: the cost of a round
// trip per request that batching avoids.
std::size_t listOneByOne(X11Session& session)
{
    xcb_connection_t* c = session.connection;
    auto tree = x11Reply(c, xcb_query_tree_reply(c, xcb_query_tree(c, session.root), nullptr), nullptr);
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    std::size_t listed = 0;
    const xcb_atom_t names[] = {session.atoms.netWMName, XCB_ATOM_WM_NAME, session.atoms.netWMPid, XCB_ATOM_WM_CLASS,
                                session.atoms.netWMWindowType, session.atoms.netWMState, session.atoms.wmState};
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const xcb_window_t w = children[i];
        auto attributes =
            x11Reply(c, xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr), nullptr);
        auto geometry = x11Reply(c, xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr), nullptr);
        auto origin = x11Reply(
            c, xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, w, session.root, 0, 0), nullptr), nullptr);
        for (xcb_atom_t name : names) {
            auto value = x11Reply(
                c, xcb_get_property_reply(c, xcb_get_property(c, 0, w, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr),
                nullptr);
        }
        listed += attributes && geometry && origin;
    }
    return listed;
}

} // namespace

int main()
{
    X11Connection connection;
    X11ScreenCapture capture(connection);
    const int rounds = 101;

    std::size_t windowCount = 0;
    const double list = medianMilliseconds(rounds, [&] {
        windowCount = connection.run([](X11Session& session) {
            return x11Windows(session, x11DisplayLayout(session), true, false).size();
        });
    });
    const double oneByOne = medianMilliseconds(rounds, [&] { connection.run(listOneByOne); });
    std::printf("windows listed: %zu\n", windowCount);
    print("window list (batched)", list, "one round trip per request", oneByOne);

    X11Monitor main = connection.run([](X11Session& session) { return x11DisplayLayout(session).mainMonitor(); });
    std::printf("display: %dx%d\n", main.width, main.height);
    const double shm = medianMilliseconds(rounds, [&] {
        connection.run([&](X11Session& session) {
            return x11ReadImage(session, session.root, main.x, main.y, main.width, main.height);
        });
    });
    const double plain = medianMilliseconds(rounds, [&] {
        connection.run([&](X11Session& session) {
            xcb_connection_t* c = session.connection;
            auto reply = x11Reply(c,
                                  xcb_get_image_reply(c,
                                                      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, session.root,
                                                                    static_cast<std::int16_t>(main.x),
                                                                    static_cast<std::int16_t>(main.y),
                                                                    static_cast<std::uint16_t>(main.width),
                                                                    static_cast<std::uint16_t>(main.height), ~0u),
                                                      nullptr),
                                  nullptr);
            std::vector<std::uint8_t> copy(xcb_get_image_data(reply.get()),
                                           xcb_get_image_data(reply.get()) + xcb_get_image_data_length(reply.get()));
            return copy.size();
        });
    });
    print("display capture, MIT-SHM", shm, "plain GetImage", plain);

    StreamConfiguration configuration;
    configuration.width = main.width;
    configuration.height = main.height;
    const ContentFilter displayFilter{ContentFilter::Kind::display, main.id, 1};
    const double framework = medianMilliseconds(rounds, [&] {
        std::promise<void> done;
        capture.captureImage(displayFilter, configuration, [&](auto, auto) { done.set_value(); });
        done.get_future().wait();
    });
    print("display capture, framework call", framework, "MIT-SHM GetImage alone", shm);

    auto windows = capture.shareableContent(false, true).windows;
    auto largest = std::max_element(windows.begin(), windows.end(), [](const auto& a, const auto& b) {
        return a.frame.width * a.frame.height < b.frame.width * b.frame.height;
    });
    if (largest != windows.end()) {
        const ContentFilter windowFilter{ContentFilter::Kind::window, largest->windowID, 1};
        StreamConfiguration windowConfiguration;
        windowConfiguration.width = static_cast<std::int64_t>(largest->frame.width);
        windowConfiguration.height = static_cast<std::int64_t>(largest->frame.height);
        windowConfiguration.showsCursor = false;
        const double composite = medianMilliseconds(rounds, [&] { capture.capture(windowFilter, windowConfiguration); });
        const double sameArea = medianMilliseconds(rounds, [&] {
            connection.run([&](X11Session& session) {
                return x11ReadImage(session, session.root, 0, 0, static_cast<int>(largest->frame.width),
                                    static_cast<int>(largest->frame.height));
            });
        });
        std::printf("window: %gx%g\n", largest->frame.width, largest->frame.height);
        print("window capture, Composite", composite, "same area of the root", sameArea);
    }
    return 0;
}
