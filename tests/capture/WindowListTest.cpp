#include "capture/ScreenCapture.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

using Delivery = FakeScreenCaptureFramework::Delivery;

namespace {

template<typename Call>
std::string failureText(Call call)
{
    try {
        call();
    } catch (const Screenshot::Failure& failure) {
        return failure.description();
    }
    return "(no failure)";
}

Json bounds(double x, double y, double width, double height)
{
    return {{"X", x}, {"Y", y}, {"Width", width}, {"Height", height}};
}

} // namespace

TEST(WindowEntry, JsonHasExactlyTheKeysWithSizesMadePositive)
{
    WindowEntry entry{4000000000u, -5, "Editor", "org.example.editor", "a/b", {-1440.5, 25, 800, -600}, -20, false};
    EXPECT_EQ(entry.json(), (Json{{"id", 4000000000u},
                                  {"pid", -5},
                                  {"app", "Editor"},
                                  {"bundle_id", "org.example.editor"},
                                  {"title", "a/b"},
                                  {"bounds", {-1440.5, 25.0, 800.0, 600.0}},
                                  {"layer", -20},
                                  {"on_screen", false}}));
    EXPECT_EQ(writeJson(entry.json()["id"]), "4000000000");
}

TEST(WindowList, FrameworkWindowsInListOrderWithDefaults)
{
    FakePlatform fake;
    ShareableWindow owned;
    owned.windowID = 30;
    owned.frame = {1, 2, 3, 4};
    owned.title = "Inbox";
    owned.windowLayer = 3;
    owned.isOnScreen = true;
    owned.owningApplication = OwningApplication{4321, "Mail", "org.example.mail"};
    ShareableWindow orphan;
    orphan.windowID = 10;
    orphan.isOnScreen = false;
    fake.screenCapture.setContent({{}, {owned, orphan}});

    const auto entries = ScreenCapture::windows(fake.platform());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].json(), (WindowEntry{30, 4321, "Mail", "org.example.mail", "Inbox", {1, 2, 3, 4}, 3, true}.json()));
    EXPECT_EQ(entries[1].json(), (WindowEntry{10, 0, "", "", "", {}, 0, false}.json()));
    const auto calls = fake.screenCapture.contentCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].excludingDesktopWindows);
    EXPECT_TRUE(calls[0].onScreenWindowsOnly);

    fake.screenCapture.setContent({});
    EXPECT_TRUE(ScreenCapture::windows(fake.platform()).empty());
}

TEST(WindowList, FrameworkFailureIsNotReplacedByTheWindowServer)
{
    FakePlatform fake;
    fake.screenCapture.setContentScript({Delivery::error, PlatformError("SCStreamErrorDomain", -3801, "no")});
    fake.windowServer.setWindowInfo(Json::array({{{"kCGWindowNumber", 1}}}));
    EXPECT_THROW(ScreenCapture::windows(fake.platform()), PlatformError);
    EXPECT_TRUE(fake.windowServer.listRequests().empty());
}

TEST(WindowList, WindowServerDictionariesWithMissingOrOddValues)
{
    FakePlatform fake;
    fake.systemVersion.set(13, 0, 0);
    fake.windowServer.addApplication(100, "org.example.one");
    fake.windowServer.addApplication(200, std::nullopt);
    fake.windowServer.setWindowInfo(Json::array({
        {{"kCGWindowNumber", 1}, {"kCGWindowOwnerPID", 100}, {"kCGWindowOwnerName", "One"}, {"kCGWindowName", "first"},
         {"kCGWindowBounds", bounds(-1440.5, 25, 800, -600)}, {"kCGWindowLayer", 25}, {"kCGWindowIsOnscreen", false}},
        {{"kCGWindowOwnerPID", 100}, {"kCGWindowName", "no number: skipped"}},
        {{"kCGWindowNumber", "2"}, {"kCGWindowName", "number as text: skipped"}},
        {{"kCGWindowNumber", -1}},
        {{"kCGWindowNumber", 4294967296.0}},
        {{"kCGWindowNumber", 4294967295u}, {"kCGWindowOwnerPID", 100}},
        {{"kCGWindowNumber", 3.0}, {"kCGWindowOwnerPID", 200}, {"kCGWindowBounds", {{"X", 1}, {"Y", 2}}},
         {"kCGWindowName", 12}, {"kCGWindowLayer", "top"}, {"kCGWindowIsOnscreen", "yes"}},
        {{"kCGWindowNumber", 4}, {"kCGWindowOwnerPID", 0x100000064LL}, {"kCGWindowBounds", "wide"}},
        {{"kCGWindowNumber", 5}, {"kCGWindowOwnerPID", 300}},
        {{"kCGWindowNumber", 6}, {"kCGWindowOwnerPID", 300}},
    }));

    const auto entries = ScreenCapture::windows(fake.platform());
    std::vector<Json> got;
    for (const auto& entry : entries)
        got.push_back(entry.json());
    const std::vector<Json> expected = {
        WindowEntry{1, 100, "One", "org.example.one", "first", {-1440.5, 25, 800, -600}, 25, false}.json(),
        WindowEntry{4294967295u, 100, "", "org.example.one", "", {}, 0, true}.json(),
        WindowEntry{3, 200, "", "", "", {}, 0, true}.json(),
        // Only the low 32 bits of the process id count.
        WindowEntry{4, 100, "", "org.example.one", "", {}, 0, true}.json(),
        WindowEntry{5, 300, "", "", "", {}, 0, true}.json(),
        WindowEntry{6, 300, "", "", "", {}, 0, true}.json(),
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got[0]["bounds"], (Json{-1440.5, 25.0, 800.0, 600.0}));

    // One lookup per process and call, a failed one included.
    EXPECT_EQ(fake.windowServer.applicationLookups(), (std::vector<std::int32_t>{100, 200, 300}));
    EXPECT_EQ(fake.windowServer.listRequests(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{17, 0}}));
}

TEST(WindowList, WindowServerWithoutAListFails)
{
    const std::optional<Json> lists[] = {
        std::nullopt, Json::object(), Json("windows"), Json::array({Json::object(), 5}), Json::array({Json::array()}),
    };
    for (const auto& list : lists) {
        FakePlatform fake;
        fake.systemVersion.set(13, 0, 0);
        fake.windowServer.setWindowInfo(list);
        EXPECT_EQ(failureText([&] { ScreenCapture::windows(fake.platform()); }), "the window server returned no window list")
            << (list ? list->dump() : "nothing");
    }
    FakePlatform empty;
    empty.systemVersion.set(13, 0, 0);
    empty.windowServer.setWindowInfo(Json::array());
    EXPECT_TRUE(ScreenCapture::windows(empty.platform()).empty());
}
