#pragma once

#include "platform/Displays.hpp"

#include <map>
#include <mutex>

// Displays set up by the test. A display that is not listed answers the zero rectangle,
// no mode, 0 pixels and no picture.
class FakeDisplays final : public Displays {
public:
    struct Display {
        Rect bounds;
        std::optional<std::int64_t> modePixelWidth;
        std::int64_t pixelsWide = 0;
        std::optional<Image> image;
    };

    // Replaces the display with this id; `main` makes it the main display.
    void set(std::uint32_t displayID, Display display, bool main = false);

    std::uint32_t mainDisplayID() override;
    Rect bounds(std::uint32_t displayID) override;
    std::optional<std::int64_t> modePixelWidth(std::uint32_t displayID) override;
    std::int64_t pixelsWide(std::uint32_t displayID) override;
    std::optional<Image> createImage(std::uint32_t displayID) override;

private:
    std::mutex mutex_;
    std::uint32_t main_ = 1;
    std::map<std::uint32_t, Display> displays_;
};
