#pragma once

#include "platform/Platform.hpp"
#include "platform/linux/LinuxImaging.hpp"
#include "platform/linux/LinuxSystemVersion.hpp"
#include "platform/linux/X11InputEvents.hpp"
#include "platform/linux/Placeholders.hpp"
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
    // X11 capture backend and privacy checks: replace these placeholders (Placeholders.hpp).
    PlaceholderDisplays displays_;
    PlaceholderScreenCapture screenCapture_;
    PlaceholderWindowServer windowServer_;
    PlaceholderPrivacy privacy_;
    LinuxImaging imaging_;
    X11InputEvents inputEvents_;
    Platform platform_;
};
