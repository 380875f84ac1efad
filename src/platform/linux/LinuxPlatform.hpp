#pragma once

#include "platform/Platform.hpp"
#include "platform/linux/LinuxFileSystem.hpp"
#include "platform/linux/LinuxAudioFramework.hpp"
#include "platform/linux/LinuxImaging.hpp"
#include "platform/linux/LinuxSystemVersion.hpp"
#include "platform/DisplayServer.hpp"
#include "platform/linux/LinuxPrivacy.hpp"
#include "platform/pulseaudio/PulseAudioSystemAudio.hpp"
#include "platform/linux/QueueMainThread.hpp"

#include <memory>

// The real services of the desktop this process runs on. Built once at start-up and kept
// for the life of the process.
class LinuxPlatform {
public:
    // The main queue is run by the main thread; prompts and settings pages go there.
    explicit LinuxPlatform(SerialQueue& mainQueue);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    Platform& platform() { return platform_; }

    // The desktop's display server: a Wayland compositor that offers screen copies and
    // virtual input devices (sway and the other desktops built on wlroots) when
    // WAYLAND_DISPLAY names one; GNOME on Wayland, through its desktop portal; otherwise
    // X11, as on any desktop with an X server. Another Wayland session is reached through its
    // XWayland, which X11 recognises and reports as such (X windows only). This is the one
    // place where the choice is made.
    static std::unique_ptr<DisplayServer> chooseDisplayServer();

private:
    Clock clock_;
    QueueMainThread mainThread_;
    LinuxSystemVersion systemVersion_;
    // X11 or a Wayland compositor, chosen once (chooseDisplayServer).
    std::unique_ptr<DisplayServer> displayServer_;
    LinuxPrivacy privacy_{*displayServer_};
    LinuxImaging imaging_;
    // One PulseAudio connection, made on first use, serves system audio and the microphone;
    // the streams and engines made from it share it, so it outlives them whatever the order
    // of destruction at exit.
    std::shared_ptr<PulseAudioConnection> pulseAudio_ = std::make_shared<PulseAudioConnection>();
    PulseAudioSystemAudio systemAudio_{pulseAudio_};
    LinuxAudioFramework audio_{pulseAudio_};
    LinuxFileSystem fileSystem_;
    Platform platform_;
};
