#include "app/Quit.hpp"

#include "platform/MainThread.hpp"
#include "platform/Platform.hpp"

#include <chrono>

HTTPResponse quit(Platform& platform, const std::function<void()>& cleanUp, std::function<void()> end)
{
    cleanUp();
    platform.mainThread.asyncAfter(std::chrono::milliseconds(200), std::move(end));
    return HTTPResponse{200, Json{{"ok", true}}};
}
