#include "platform/gnome/GnomeWindowList.hpp"

#include "base/Json.hpp"
#include "base/PlatformError.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

Json entry()
{
    return {{"id", 7},
            {"title", "Notes"},
            {"app_id", "org.example.Notes"},
            {"app_name", "Notes"},
            {"pid", 4242},
            {"frame", {{"x", -10}, {"y", 36}, {"width", 640}, {"height", 517}}},
            {"workspace", 0},
            {"shown", true},
            {"x11", false}};
}

std::string listOf(const Json& window)
{
    return writeJson(Json::array({window}));
}

std::string changed(const std::function<void(Json&)>& change)
{
    Json window = entry();
    change(window);
    return listOf(window);
}

} // namespace

TEST(GnomeWindowList, ReadsEveryFieldInOrder)
{
    Json second = entry();
    second["id"] = 4294967295u; // the largest id
    second["title"] = nullptr;
    second["pid"] = 0;
    second["app_id"] = "";
    second["app_name"] = "";
    second["shown"] = false;
    second["x11"] = true;
    second["added_later"] = {{"any", "thing"}};
    const auto windows = gnomeWindowsFromList(writeJson(Json::array({entry(), second})));
    ASSERT_EQ(windows.size(), 2u);

    EXPECT_EQ(windows[0].windowID, 7u);
    EXPECT_EQ(windows[0].title, "Notes");
    EXPECT_EQ(windows[0].frame, (Rect{-10, 36, 640, 517}));
    EXPECT_TRUE(windows[0].isOnScreen);
    ASSERT_TRUE(windows[0].owningApplication);
    EXPECT_EQ(windows[0].owningApplication->processID, 4242);
    EXPECT_EQ(windows[0].owningApplication->applicationName, "Notes");
    EXPECT_EQ(windows[0].owningApplication->bundleIdentifier, "org.example.Notes");

    EXPECT_EQ(windows[1].windowID, 4294967295u);
    EXPECT_EQ(windows[1].title, std::nullopt);
    EXPECT_FALSE(windows[1].isOnScreen);
    EXPECT_FALSE(windows[1].owningApplication); // neither a process nor an app id
}

TEST(GnomeWindowList, ApplicationNamedByItsIdWhenTheShellKnowsNoName)
{
    const auto windows = gnomeWindowsFromList(changed([](Json& w) {
        w.erase("app_name");
        w["pid"] = 0;
    }));
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_TRUE(windows[0].owningApplication);
    EXPECT_EQ(windows[0].owningApplication->applicationName, "org.example.Notes");
    EXPECT_EQ(windows[0].owningApplication->processID, 0);
}

TEST(GnomeWindowList, TitlesAreCutToValidTextOfBoundedLength)
{
    struct Case {
        const char* name;
        std::string title;
        std::string expected;
    };
    const std::string longest(gnomeWindowsLongestText, 'a');
    // "é" is two bytes: a cut through it drops the whole character.
    const std::string accented = std::string(gnomeWindowsLongestText - 1, 'a') + "\xC3\xA9" + "tail";
    const Case cases[] = {
        {"empty", "", ""},
        {"at the limit", longest, longest},
        {"beyond the limit", longest + "more", longest},
        {"a character across the limit", accented, std::string(gnomeWindowsLongestText - 1, 'a')},
        {"not ASCII", "Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", "Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        const auto windows = gnomeWindowsFromList(changed([&](Json& w) { w["title"] = c.title; }));
        ASSERT_EQ(windows.size(), 1u) << c.name;
        EXPECT_EQ(windows[0].title, c.expected) << c.name;
    }
}

TEST(GnomeWindowList, EmptyListIsNoWindows)
{
    EXPECT_TRUE(gnomeWindowsFromList("[]").empty());
    EXPECT_TRUE(gnomeWindowsFromList(" [ ] \n").empty());
}

TEST(GnomeWindowList, RefusesListsItCannotTrust)
{
    struct Case {
        const char* name;
        std::string text;
    };
    Json twice = Json::array({entry(), entry()});
    Json many = Json::array();
    for (std::size_t i = 1; i <= gnomeWindowsMost + 1; ++i) {
        Json window = entry();
        window["id"] = i;
        many.push_back(window);
    }
    const Case cases[] = {
        {"not JSON", "[{"},
        {"not an array", "{}"},
        {"a string", "\"windows\""},
        {"an entry not an object", "[1]"},
        {"invalid UTF-8 in a title", "[{\"id\": 1, \"title\": \"\xFF\"}]"},
        {"no id", changed([](Json& w) { w.erase("id"); })},
        {"id zero", changed([](Json& w) { w["id"] = 0; })},
        {"id negative", changed([](Json& w) { w["id"] = -1; })},
        {"id beyond 32 bits", changed([](Json& w) { w["id"] = 4294967296u; })},
        {"id beyond 64 signed bits", changed([](Json& w) { w["id"] = 18446744073709551615u; })},
        {"id fractional", changed([](Json& w) { w["id"] = 1.5; })},
        {"id a string", changed([](Json& w) { w["id"] = "7"; })},
        {"title not a string", changed([](Json& w) { w["title"] = 7; })},
        {"app id not a string", changed([](Json& w) { w["app_id"] = Json::array(); })},
        {"pid negative", changed([](Json& w) { w["pid"] = -5; })},
        {"pid beyond 31 bits", changed([](Json& w) { w["pid"] = 2147483648u; })},
        {"no pid", changed([](Json& w) { w.erase("pid"); })},
        {"no frame", changed([](Json& w) { w.erase("frame"); })},
        {"frame not an object", changed([](Json& w) { w["frame"] = Json::array({0, 0, 1, 1}); })},
        {"frame missing a side", changed([](Json& w) { w["frame"].erase("height"); })},
        {"frame of negative width", changed([](Json& w) { w["frame"]["width"] = -1; })},
        {"frame far away", changed([](Json& w) { w["frame"]["x"] = 1 << 21; })},
        {"frame size not a number", changed([](Json& w) { w["frame"]["height"] = "517"; })},
        {"no shown flag", changed([](Json& w) { w.erase("shown"); })},
        {"shown as a number", changed([](Json& w) { w["shown"] = 1; })},
        {"an id listed twice", writeJson(twice)},
        {"too many windows", writeJson(many)},
    };
    for (const Case& c : cases)
        EXPECT_THROW(gnomeWindowsFromList(c.text), PlatformError) << c.name;
}

TEST(GnomeWindowList, WindowPixelsOfTheMonitorPicture)
{
    struct Case {
        const char* name;
        Rect frame;
        Rect monitor;
        int pixelWidth;
        int pixelHeight;
        PixelRect expected;
    };
    const Case cases[] = {
        {"inside, scale 1", {100, 50, 640, 480}, {0, 0, 1920, 1080}, 1920, 1080, {100, 50, 640, 480}},
        {"inside, scale 2", {100, 50, 640, 480}, {0, 0, 1920, 1080}, 3840, 2160, {200, 100, 1280, 960}},
        {"fractional scale rounds", {101, 0, 100, 100}, {0, 0, 1280, 720}, 1600, 900, {126, 0, 125, 125}},
        {"monitor away from the origin", {2000, 100, 200, 100}, {1920, 0, 1280, 720}, 1280, 720, {80, 100, 200, 100}},
        {"clipped at the top-left", {-50, -20, 200, 100}, {0, 0, 1920, 1080}, 1920, 1080, {0, 0, 150, 80}},
        {"clipped at the bottom-right", {1800, 1000, 400, 300}, {0, 0, 1920, 1080}, 1920, 1080, {1800, 1000, 120, 80}},
        {"off the monitor", {2000, 0, 100, 100}, {0, 0, 1920, 1080}, 1920, 1080, {1920, 0, 0, 100}},
        {"no monitor size yet", {0, 0, 100, 100}, {0, 0, 0, 0}, 1920, 1080, {}},
        {"no picture", {0, 0, 100, 100}, {0, 0, 1920, 1080}, 0, 0, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(gnomeMonitorPixels(c.frame, c.monitor, c.pixelWidth, c.pixelHeight), c.expected) << c.name;
}
