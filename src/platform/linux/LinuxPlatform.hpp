#pragma once

#include "platform/Platform.hpp"
#include "platform/linux/LinuxFileSystem.hpp"
#include "platform/linux/LinuxAudioFramework.hpp"
#include "platform/linux/LinuxImaging.hpp"
#include "platform/linux/LinuxSystemVersion.hpp"
#include "platform/linux/X11InputEvents.hpp"
#include "platform/linux/LinuxPrivacy.hpp"
#include "platform/linux/PulseAudioSystemAudio.hpp"
#include "platform/linux/X11Connection.hpp"
#include "platform/linux/X11Displays.hpp"
#include "platform/linux/X11ScreenCapture.hpp"
#include "platform/linux/X11WindowServer.hpp"
#include "platform/linux/QueueMainThread.hpp"

// The real services of the desktop this process runs on. Built once at start-up and kept
// for the life of the process.
class LinuxPlatform {
public:
    // The main queue is run by the main thread; prompts and settings pages go there.
    explicit LinuxPlatform(SerialQueue& mainQueue);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    Platform& platform() { return platform_; }

private:
    Clock clock_;
    QueueMainThread mainThread_;
    LinuxSystemVersion systemVersion_;
    // One X connection, opened on first use, serves displays, capture, the window server
    // and the privacy checks.
    X11Connection x11_;
    X11Displays displays_{x11_};
    X11ScreenCapture screenCapture_{x11_};
    X11WindowServer windowServer_{x11_};
    LinuxPrivacy privacy_{x11_};
    LinuxImaging imaging_;
    X11InputEvents inputEvents_;
    // One PulseAudio connection, made on first use, serves system audio and the microphone;
    // the streams and engines made from it share it, so it outlives them whatever the order
    // of destruction at exit.
    std::shared_ptr<PulseAudioConnection> pulseAudio_ = std::make_shared<PulseAudioConnection>();
    PulseAudioSystemAudio systemAudio_{pulseAudio_};
    LinuxAudioFramework audio_{pulseAudio_};
    LinuxFileSystem fileSystem_;
    Platform platform_;
};
