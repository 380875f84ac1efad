#include "permissions/Permissions.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <thread>

using Delivery = FakeScreenCaptureFramework::Delivery;
using State = Permissions::ScreenState;
using Call = FakePrivacy::Call;
using namespace std::chrono_literals;

namespace {

struct PermissionsTest : ::testing::Test {
    FakePlatform fake;
    Permissions permissions{fake.platform()};

    std::size_t probes() const { return fake.screenCapture.contentCalls().size(); }
    void denyWith(long code) { fake.screenCapture.setContentScript({Delivery::error, PlatformError("SCStreamErrorDomain", code, "No.")}); }
};

} // namespace

TEST(ScreenState, RawValuesRoundTripExactly)
{
    for (auto state : {State::granted, State::denied, State::unknown})
        EXPECT_EQ(Permissions::fromRawValue(Permissions::rawValue(state)), state);
    EXPECT_STREQ(Permissions::rawValue(State::denied), "denied");
    EXPECT_EQ(Permissions::fromRawValue("Granted"), std::nullopt);
    EXPECT_EQ(Permissions::fromRawValue("granted "), std::nullopt);
}

TEST_F(PermissionsTest, ProbeIsCachedForThreeSecondsFromItsEnd)
{
    EXPECT_EQ(permissions.screenState(), State::granted); // the first query always probes
    EXPECT_EQ(probes(), 1u);
    fake.clock.advance(1s);
    EXPECT_EQ(permissions.screenDetail(), "");
    fake.clock.advance(1999ms);
    permissions.screenState();
    EXPECT_EQ(probes(), 1u);
    fake.clock.advance(1ms); // exactly 3.0 s: stale
    permissions.screenState();
    EXPECT_EQ(probes(), 2u);

    // A probe that takes the whole time-out counts its 3 seconds from when it ended.
    fake.screenCapture.setContentScript({Delivery::never});
    fake.clock.advance(3s);
    EXPECT_EQ(permissions.screenState(), State::unknown);
    EXPECT_EQ(permissions.screenDetail(), "ScreenCaptureKit did not list the shareable content within 10 s");
    EXPECT_EQ(probes(), 3u);
}

TEST_F(PermissionsTest, ProbeVerdictAndItsText)
{
    denyWith(-3801);
    EXPECT_EQ(permissions.screenState(), State::denied);
    EXPECT_EQ(permissions.screenDetail(), "ScreenCaptureKit userDeclined (-3801): No.");
    permissions.forgetProbe();
    denyWith(-3811);
    EXPECT_EQ(permissions.screenState(), State::unknown);
    EXPECT_EQ(permissions.screenDetail(), "ScreenCaptureKit internalError (-3811): No.");
    EXPECT_EQ(probes(), 2u);
}

TEST_F(PermissionsTest, FailedPreflightNeverTouchesTheCache)
{
    EXPECT_EQ(permissions.screenState(), State::granted);
    fake.privacy.screenCaptureAllowed = false;
    EXPECT_EQ(permissions.screenState(), State::denied);
    EXPECT_EQ(permissions.screenDetail(), "");
    EXPECT_EQ(probes(), 1u);

    // The grant cached before is still fresh and answers once the preflight passes again.
    fake.privacy.screenCaptureAllowed = true;
    fake.clock.advance(2s);
    EXPECT_EQ(permissions.screenState(), State::granted);
    EXPECT_EQ(probes(), 1u);

    // Nor does a failed preflight fill an empty cache.
    FakePlatform other;
    other.privacy.screenCaptureAllowed = false;
    Permissions fresh(other.platform());
    EXPECT_EQ(fresh.screenState(), State::denied);
    EXPECT_TRUE(other.screenCapture.contentCalls().empty());
}

TEST_F(PermissionsTest, NoteOfWhatIsNotServedIsTheDetailOnlyOnceTheScreenIsGranted)
{
    fake.privacy.setScreenCaptureNote("windows are not listed: enable the helper");
    EXPECT_EQ(permissions.screenState(), State::granted);
    EXPECT_EQ(permissions.screenDetail(), "windows are not listed: enable the helper");
    // Not the content's detail: the content itself is served.
    EXPECT_EQ(permissions.contentDetail(), "");

    // Before the screen is shared, the detail says why it is not.
    denyWith(-3801);
    permissions.forgetProbe();
    EXPECT_EQ(permissions.screenState(), State::denied);
    EXPECT_EQ(permissions.screenDetail(), "ScreenCaptureKit userDeclined (-3801): No.");

    fake.privacy.setScreenCaptureNote(std::nullopt);
    fake.screenCapture.setContentScript({Delivery::value});
    permissions.forgetProbe();
    EXPECT_EQ(permissions.screenState(), State::granted);
    EXPECT_EQ(permissions.screenDetail(), "");
}

TEST_F(PermissionsTest, ScreenOutOfReachIsDeniedWithItsReasonWhileTheContentFollowsTheProbe)
{
    fake.privacy.setScreenCaptureLimit("only X windows");
    EXPECT_EQ(permissions.screenState(), State::denied);
    EXPECT_EQ(permissions.screenDetail(), "only X windows");
    EXPECT_EQ(probes(), 0u);

    EXPECT_EQ(permissions.contentState(), State::granted);
    EXPECT_EQ(permissions.contentDetail(), "");
    EXPECT_EQ(probes(), 1u);
    denyWith(-3801);
    permissions.forgetProbe();
    EXPECT_EQ(permissions.contentState(), State::denied);
    EXPECT_EQ(permissions.screenDetail(), "only X windows"); // the probe does not speak for the screen

    // A failed preflight says the most: denied with nothing to add, for both.
    fake.privacy.screenCaptureAllowed = false;
    EXPECT_EQ(permissions.screenDetail(), "");
    EXPECT_EQ(permissions.contentState(), State::denied);
    EXPECT_EQ(permissions.contentDetail(), "");

    // Without a limit the two are one.
    FakePlatform other;
    Permissions plain(other.platform());
    EXPECT_EQ(plain.screenState(), State::granted);
    EXPECT_EQ(plain.contentState(), State::granted);
    EXPECT_EQ(other.screenCapture.contentCalls().size(), 1u);
}

TEST_F(PermissionsTest, ForgettingAndPromptsMakeTheNextQueryProbe)
{
    const std::function<void()> forgetters[] = {
        [&] { permissions.forgetProbe(); },
        [&] { permissions.request("screen"); },
        [&] { permissions.request("accessibility"); },
    };
    for (const auto& forget : forgetters) {
        permissions.screenState();
        const auto before = probes();
        permissions.screenState(); // fresh
        EXPECT_EQ(probes(), before);
        forget();
        permissions.screenState();
        EXPECT_EQ(probes(), before + 1);
    }
}

TEST_F(PermissionsTest, QueriesThatWaitOnTheLockShareOneProbe)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { permissions.screenState(); });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(probes(), 1u);
}

TEST_F(PermissionsTest, MicrophoneStates)
{
    const std::pair<int, State> cases[] = {
        {0, State::unknown}, {1, State::denied}, {2, State::denied}, {3, State::granted}, {4, State::unknown}, {-1, State::unknown},
    };
    for (const auto& [status, state] : cases) {
        fake.privacy.microphoneStatus = status;
        EXPECT_EQ(permissions.microphoneState(), state) << status;
    }
    fake.privacy.trusted = false;
    EXPECT_FALSE(permissions.accessibilityGranted());
    fake.privacy.trusted = true;
    EXPECT_TRUE(permissions.accessibilityGranted());
}

TEST_F(PermissionsTest, MicrophonePromptOnlyWhileUndecidedAndNotAwaited)
{
    for (int decided : {1, 2, 3}) {
        fake.privacy.microphoneStatus = decided;
        permissions.requestMicrophone();
    }
    EXPECT_EQ(fake.mainThread.pending(), 0u);
    EXPECT_TRUE(fake.privacy.calls().empty());

    fake.privacy.microphoneStatus = 0;
    permissions.requestMicrophone();
    EXPECT_TRUE(fake.privacy.calls().empty());
    EXPECT_EQ(fake.mainThread.runPending(), 1u);
    EXPECT_EQ(fake.privacy.calls(), (std::vector<Call>{{"activateApplication", true}, {"requestMicrophoneAccess", true}}));
}

TEST_F(PermissionsTest, PromptsRunOnTheMainThreadAndAreAwaited)
{
    permissions.request("screen");
    EXPECT_EQ(fake.privacy.calls(), (std::vector<Call>{{"activateApplication", true}, {"requestScreenCaptureAccess", true}}));

    // Anything but "screen" exactly is the Accessibility prompt, without activation.
    for (const char* what : {"accessibility", "Screen", ""}) {
        FakePlatform other;
        Permissions permissions(other.platform());
        permissions.request(what);
        EXPECT_EQ(other.privacy.calls(), (std::vector<Call>{{"promptForAccessibility", true}})) << what;
        EXPECT_EQ(other.mainThread.syncCount(), 1u);
    }
}

TEST_F(PermissionsTest, SettingsPagesOpenOnTheMainThreadLater)
{
    permissions.openPane("screen");
    permissions.openPane("accessibility");
    permissions.openPane("microphone");
    EXPECT_TRUE(fake.privacy.calls().empty());
    EXPECT_EQ(fake.mainThread.runPending(), 3u);
    EXPECT_EQ(fake.privacy.calls(), (std::vector<Call>{{"openSettings screenCapture", true},
                                                       {"openSettings accessibility", true},
                                                       {"openSettings accessibility", true}}));
}
