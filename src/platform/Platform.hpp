#pragma once

#include "platform/Clock.hpp"

class AudioFramework;
class Displays;
class FileSystem;
class Imaging;
class InputEvents;
class MainThread;
class Privacy;
class ScreenCaptureFramework;
class SystemAudio;
class SystemVersion;
class WindowServer;

// Every service of the machine that the system reaches, as one set. src/app/ builds the
// real set for the desktop it runs on; tests build the fake set. The set owns nothing:
// whoever builds it keeps the implementations alive for as long as the set is used.
struct Platform {
    Clock& clock;
    MainThread& mainThread;
    Displays& displays;
    ScreenCaptureFramework& screenCapture;
    WindowServer& windowServer;
    SystemVersion& systemVersion;
    Privacy& privacy;
    Imaging& imaging;
    InputEvents& inputEvents;
    SystemAudio& systemAudio;
    AudioFramework& audio;
    FileSystem& fileSystem;
};
