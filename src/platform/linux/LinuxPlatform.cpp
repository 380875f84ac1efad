#include "platform/linux/LinuxPlatform.hpp"

LinuxPlatform::LinuxPlatform()
    : clock_(Clock::system()), platform_{clock_}
{
}
