#include "platform/fake/FakePlatform.hpp"

FakePlatform::FakePlatform()
    : platform_{clock.clock(), mainThread, displays, screenCapture, windowServer, systemVersion, privacy, imaging, inputEvents, systemAudio, audio, fileSystem}
{
}
