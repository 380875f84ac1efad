#include "platform/linux/LinuxPlatform.hpp"

#include "base/Process.hpp"

#include <sys/prctl.h>

LinuxPlatform::LinuxPlatform(SerialQueue& mainQueue)
    : clock_(Clock::system()), mainThread_(mainQueue),
      platform_{clock_, mainThread_, displays_, screenCapture_, windowServer_, systemVersion_, privacy_, imaging_, inputEvents_, systemAudio_, audio_, fileSystem_}
{
    // Input gestures are made of many short pauses (a drag has fifteen); the kernel's
    // default 50 us of timer slack per sleep adds up across them. Threads started after
    // this one, the HTTP work queue among them, inherit the tighter slack.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    // Whatever a killed process left on the desktop goes back now; whatever this one takes
    // goes back whichever way it ends (a process killed outright leaves it to the next).
    inputEvents_.connectInBackground();
    atProcessEnd([this] { inputEvents_.relinquish(); });
}
