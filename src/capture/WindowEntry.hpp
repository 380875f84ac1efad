#pragma once

#include "base/Json.hpp"
#include "platform/Geometry.hpp"

#include <cstdint>
#include <string>

// One window as the parent sees it in the window list.
struct WindowEntry {
    std::uint32_t id = 0;
    std::int32_t pid = 0;
    std::string app;
    std::string bundleID;
    std::string title;
    Rect frame;
    std::int64_t layer = 0;
    bool onScreen = true;

    // {"id","pid","app","bundle_id","title","bounds":[x,y,|w|,|h|],"layer","on_screen"}
    Json json() const;
};
