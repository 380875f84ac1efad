#include "capture/Handoff.hpp"
#include "capture/SCK.hpp"
#include "capture/ScreenshotFailure.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using Delivery = FakeScreenCaptureFramework::Delivery;
using namespace std::chrono_literals;

namespace {

ShareableContent twoDisplays()
{
    return {{{1, 1512, 982}, {2, 800, 600}}, {}};
}

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

// Counts live copies, so a test can see that a box left behind by a late answer is freed.
struct Tracked {
    static inline std::atomic<int> live = 0;
    Tracked() { ++live; }
    Tracked(const Tracked&) { ++live; }
    Tracked(Tracked&&) noexcept { ++live; }
    Tracked& operator=(const Tracked&) = default;
    ~Tracked() { --live; }
};

} // namespace

TEST(Bridge, ValueWinsOverAnErrorDeliveredWithIt)
{
    FakePlatform fake;
    fake.screenCapture.setContent(twoDisplays());
    fake.screenCapture.setContentScript({Delivery::valueAndError});
    fake.screenCapture.setCaptureScript({Delivery::valueAndError});

    EXPECT_EQ(SCK::content(fake.platform(), true, false).displays.size(), 2u);
    const auto image = SCK::capture(fake.platform(), {}, StreamConfiguration{.width = 3, .height = 2, .ignoreShadowsSingleWindow = {}});
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    ASSERT_EQ(fake.screenCapture.contentCalls().size(), 1u);
    EXPECT_TRUE(fake.screenCapture.contentCalls()[0].excludingDesktopWindows);
    EXPECT_FALSE(fake.screenCapture.contentCalls()[0].onScreenWindowsOnly);
}

TEST(Bridge, EmptyAnswersAndSilenceHaveTheirOwnTexts)
{
    struct Case {
        Delivery delivery;
        const char* content;
        const char* capture;
    };
    const Case cases[] = {
        {Delivery::neither, "ScreenCaptureKit returned neither content nor an error", "no image came back from the capture"},
        {Delivery::never, "ScreenCaptureKit did not list the shareable content within 10 s",
         "ScreenCaptureKit did not deliver the picture within 10 s"},
        {Delivery::late, "ScreenCaptureKit did not list the shareable content within 10 s",
         "ScreenCaptureKit did not deliver the picture within 10 s"},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        fake.screenCapture.setContentScript({c.delivery});
        fake.screenCapture.setCaptureScript({c.delivery});
        EXPECT_EQ(failureText([&] { SCK::content(fake.platform(), false, true); }), c.content);
        EXPECT_EQ(failureText([&] { SCK::capture(fake.platform(), {}, {}); }), c.capture);
    }
}

TEST(Bridge, WaitsTenSecondsOnTheClock)
{
    FakePlatform fake;
    fake.screenCapture.setContentScript({Delivery::never});
    const auto start = fake.platform().clock.now();
    EXPECT_THROW(SCK::content(fake.platform(), false, true), Screenshot::Failure);
    EXPECT_EQ(fake.clock.timedOutWaits(), std::vector<Clock::TimePoint>{start + 10s});
}

TEST(Bridge, FrameworkErrorPassesThroughUnchanged)
{
    FakePlatform fake;
    fake.screenCapture.setContentScript({Delivery::error, PlatformError("SCStreamErrorDomain", -3801, "declined")});
    fake.screenCapture.setCaptureScript({Delivery::error, PlatformError("Other", 7, "broken")});
    try {
        SCK::content(fake.platform(), false, true);
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain, "SCStreamErrorDomain");
        EXPECT_EQ(error.code, -3801);
        EXPECT_EQ(error.description, "declined");
    }
    try {
        SCK::capture(fake.platform(), {}, {});
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain, "Other");
        EXPECT_EQ(error.code, 7);
    }
}

TEST(Bridge, LateAnswerAfterTheTimeOutIsHarmless)
{
    FakePlatform fake;
    fake.screenCapture.setContent(twoDisplays());
    fake.screenCapture.setContentScript({Delivery::late});
    fake.screenCapture.setCaptureScript({Delivery::late});
    EXPECT_THROW(SCK::content(fake.platform(), false, true), Screenshot::Failure);
    EXPECT_THROW(SCK::capture(fake.platform(), {}, StreamConfiguration{.width = 64, .height = 64, .ignoreShadowsSingleWindow = {}}), Screenshot::Failure);
    // Both answers arrive on another thread after their callers left; under the address
    // sanitizer a write into a freed box would fail here.
    EXPECT_EQ(fake.screenCapture.deliverLate(), 2u);

    // The next call is not confused by the stale answers.
    fake.screenCapture.setContentScript({Delivery::value});
    EXPECT_EQ(SCK::content(fake.platform(), false, true).displays.size(), 2u);
}

TEST(Bridge, BoxOfALateAnswerIsFreedWithTheCompletion)
{
    FakeClock clock;
    std::function<void(std::optional<Tracked>, std::optional<PlatformError>)> held;
    EXPECT_THROW(awaitHandoff<Tracked>(
                     clock.clock(), 10s, [&](auto completion) { held = std::move(completion); }, nullptr,
                     [] { return Screenshot::Failure::capture("late"); }),
                 Screenshot::Failure);
    ASSERT_TRUE(held);
    std::thread([&] {
        held(Tracked{}, std::nullopt);
        EXPECT_EQ(Tracked::live, 1); // stored in the box nobody reads
        held = nullptr;
    }).join();
    EXPECT_EQ(Tracked::live, 0);
}

TEST(Bridge, RealThreadsInTimeAndTooLate)
{
    // The real semaphore and the real clock: an answer from another thread in time is
    // returned; one that comes after a short deadline finds its box alive.
    Clock clock = Clock::system();
    std::thread worker;
    const auto value = awaitHandoff<int>(
        clock, 10s,
        [&](auto completion) { worker = std::thread([completion] { completion(42, std::nullopt); }); },
        nullptr, [] { return Screenshot::Failure::capture("late"); });
    worker.join();
    EXPECT_EQ(value, 42);

    // The answer waits until the caller has given up, so it is late however the threads run.
    std::promise<void> gaveUp;
    std::atomic<bool> answered = false;
    EXPECT_THROW(awaitHandoff<std::vector<int>>(
                     clock, 1ms,
                     [&](auto completion) {
                         worker = std::thread([completion, &answered, late = gaveUp.get_future()] {
                             late.wait();
                             completion(std::vector<int>(1000, 7), std::nullopt);
                             answered = true;
                         });
                     },
                     nullptr, [] { return Screenshot::Failure::capture("late"); }),
                 Screenshot::Failure);
    gaveUp.set_value();
    worker.join();
    EXPECT_TRUE(answered);
}
