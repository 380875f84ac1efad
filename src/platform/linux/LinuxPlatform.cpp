#include "platform/linux/LinuxPlatform.hpp"

LinuxPlatform::LinuxPlatform(SerialQueue& mainQueue)
    : clock_(Clock::system()), mainThread_(mainQueue),
      platform_{clock_, mainThread_, displays_, screenCapture_, windowServer_, systemVersion_, privacy_, imaging_, inputEvents_}
{
}
