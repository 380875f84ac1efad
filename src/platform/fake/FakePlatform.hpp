#pragma once

#include "platform/Platform.hpp"
#include "platform/fake/FakeAudio.hpp"
#include "platform/fake/FakeClock.hpp"
#include "platform/fake/FakeDisplays.hpp"
#include "platform/fake/FakeInputEvents.hpp"
#include "platform/fake/FakeImaging.hpp"
#include "platform/fake/FakeMainThread.hpp"
#include "platform/fake/FakePrivacy.hpp"
#include "platform/fake/FakeScreenCaptureFramework.hpp"
#include "platform/fake/FakeSystemVersion.hpp"
#include "platform/fake/FakeWindowServer.hpp"

// Every platform interface, scriptable from a test. Tests reach the fakes directly through
// the public members and hand platform() to the code under test.
class FakePlatform {
public:
    FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    Platform& platform() { return platform_; }

    FakeClock clock;
    FakeMainThread mainThread;
    FakeDisplays displays;
    FakeScreenCaptureFramework screenCapture;
    FakeWindowServer windowServer;
    FakeSystemVersion systemVersion;
    FakePrivacy privacy;
    FakeImaging imaging;
    FakeInputEvents inputEvents{clock};
    FakeSystemAudio systemAudio;
    FakeFileSystem fileSystem;
    FakeAudioFramework audio{fileSystem};

private:
    Platform platform_;
};
