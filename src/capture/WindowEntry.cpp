#include "capture/WindowEntry.hpp"

#include <cmath>

Json WindowEntry::json() const
{
    return Json{
        {"id", id},
        {"pid", pid},
        {"app", app},
        {"bundle_id", bundleID},
        {"title", title},
        {"bounds", Json::array({frame.x, frame.y, std::fabs(frame.width), std::fabs(frame.height)})},
        {"layer", layer},
        {"on_screen", onScreen},
    };
}
