#pragma once

#include "imaging/Image.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

struct sd_bus;

// KWin's screenshot service on the session bus (org.kde.KWin.ScreenShot2), which KWin answers
// only for programs that a desktop file trusts (X-KDE-DBUS-Restricted-Interfaces). A picture
// comes back through a pipe as raw 32-bit pixels. One caller at a time.
class KWinScreenShot {
public:
    // Refused: KWin does not trust this program (no desktop file declares it).
    struct Refused : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    KWinScreenShot();
    ~KWinScreenShot();
    KWinScreenShot(const KWinScreenShot&) = delete;
    KWinScreenShot& operator=(const KWinScreenShot&) = delete;

    // The area of the desktop in logical pixels, at the outputs' own scale, BGRA; with the
    // pointer drawn in or not. Throws Refused, or PlatformError when KWin cannot be asked or
    // gives no picture.
    Image area(std::int64_t x, std::int64_t y, std::int64_t width, std::int64_t height, bool pointer);
    // One window whole, by KWin's id for it ("{uuid}"), without its decoration's shadow.
    Image window(const std::string& handle, bool pointer);

private:
    template <typename Append> Image capture(const char* method, Append&& append);
    sd_bus* bus();

    sd_bus* bus_ = nullptr;
};
