#include "service/Quit.hpp"

#include "input/Input.hpp"
#include "platform/MainThread.hpp"
#include "platform/Platform.hpp"

#include <chrono>

HTTPResponse quit(Platform& platform, Input& input, std::function<void()> end)
{
    // Releasing must not stop the quit: a desktop that went away holds no keys anyway.
    try {
        input.releaseAll();
    } catch (...) {
    }
    Clock& clock = platform.clock;
    platform.mainThread.async([&clock, end = std::move(end)] {
        clock.sleep(std::chrono::milliseconds(200));
        end();
    });
    return HTTPResponse{200, Json{{"ok", true}}};
}
