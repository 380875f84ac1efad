#include "platform/wayland/SwayTree.hpp"

#include <gtest/gtest.h>

namespace {

Json view(int id, const char* title, int pid, Json rect, bool visible, const char* appID = "app")
{
    return {{"id", id},
            {"type", "con"},
            {"name", title},
            {"pid", pid},
            {"app_id", appID},
            {"visible", visible},
            {"rect", rect},
            {"window_rect", {{"x", 2}, {"y", 20}, {"width", rect["width"].get<int>() - 4},
                             {"height", rect["height"].get<int>() - 22}}},
            {"nodes", Json::array()},
            {"floating_nodes", Json::array()}};
}

Json box(int x, int y, int width, int height)
{
    return {{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

// One output with a shown workspace (a tiled pair, the second focused, and a floating
// window), a hidden workspace, and a window of the X server in the scratchpad.
Json tree()
{
    Json xwindow = view(30, "xterm", 303, box(0, 0, 400, 300), false);
    xwindow["app_id"] = nullptr;
    xwindow["window"] = 12345;
    xwindow["window_properties"] = {{"class", "XTerm"}, {"instance", "xterm"}};
    return {{"id", 1}, {"type", "root"}, {"focus", {3, 2}},
            {"nodes",
             {{{"id", 2}, {"type", "output"}, {"name", "__i3"},
               {"nodes", {{{"id", 4}, {"type", "workspace"}, {"name", "__i3_scratch"}, {"nodes", Json::array()},
                           {"floating_nodes", {xwindow}}}}}},
              {{"id", 3}, {"type", "output"}, {"focus", {5, 6}},
               {"nodes",
                {{{"id", 6}, {"type", "workspace"}, {"nodes", {view(20, "hidden", 202, box(0, 0, 1280, 800), false)}},
                  {"floating_nodes", Json::array()}},
                 {{"id", 5}, {"type", "workspace"}, {"focus", {12, 11, 13}},
                  {"nodes", {view(11, "left", 101, box(0, 0, 640, 800), true),
                             view(12, "right", 102, box(640, 0, 640, 800), true)}},
                  {"floating_nodes", {view(13, "float", 103, box(100, 100, 300, 200), true)}}}}}}}}};
}

TEST(SwayTree, WindowsComeFrontToBackWithTheirContentFramesAndVisibility)
{
    WaylandOutput output;
    output.width = 1280;
    output.height = 800;
    const auto windows = swayWindows(tree(), WaylandLayout({output}));
    std::vector<std::uint32_t> ids;
    for (const auto& window : windows)
        ids.push_back(window.windowID);
    // The focused output's shown workspace first, floating above tiled, the focused tiled
    // window first; then its hidden workspace; the scratchpad last.
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{13, 12, 11, 20, 30}));
    EXPECT_EQ(windows[1].frame, (Rect{642, 20, 636, 778}));
    EXPECT_EQ(windows[1].title, "right");
    EXPECT_EQ(windows[1].owningApplication->processID, 102);
    EXPECT_EQ(windows[1].owningApplication->bundleIdentifier, "app");
    EXPECT_TRUE(windows[1].isOnScreen);
    EXPECT_FALSE(windows[3].isOnScreen);
    EXPECT_FALSE(windows[4].isOnScreen);
    EXPECT_EQ(windows[4].owningApplication->applicationName, "XTerm");
}

TEST(SwayTree, FramesAreRelativeToTheMainOutput)
{
    WaylandOutput left, main;
    left.id = 1;
    left.x = -1000;
    left.width = 1000;
    left.height = 800;
    main.id = 2;
    main.width = 1280;
    main.height = 800;
    Json root = {{"id", 1}, {"nodes", {view(40, "w", 1, box(-1000, 0, 1000, 800), true)}}};
    const auto windows = swayWindows(root, WaylandLayout({left, main}));
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].frame.x, -998);
    // Nodes that are not windows, or carry ids out of range, are left out.
    Json odd = {{"id", 1}, {"nodes", {{{"id", -5}, {"pid", 3}, {"app_id", "x"}}, {{"id", 7}, {"name", "no pid"}}}}};
    EXPECT_TRUE(swayWindows(odd, WaylandLayout({main})).empty());
}

} // namespace
