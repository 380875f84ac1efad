#include "app/Status.hpp"

#include "capture/ScreenCapture.hpp"
#include "permissions/Permissions.hpp"
#include "platform/Displays.hpp"
#include "platform/Platform.hpp"

#include <cmath>
#include <limits>
#include <unistd.h>

namespace {

// Truncated toward zero; a width the platform made up beyond any integer saturates.
std::int64_t wholePoints(double points)
{
    if (!std::isfinite(points))
        return 0;
    const double truncated = std::trunc(points);
    if (truncated >= 0x1p63)
        return std::numeric_limits<std::int64_t>::max();
    if (truncated < -0x1p63)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(truncated);
}

Json mainDisplay(Displays& displays)
{
    const auto id = displays.mainDisplayID();
    const Rect bounds = displays.bounds(id);
    const auto pixelWidth = displays.modePixelWidth(id).value_or(displays.pixelsWide(id));
    double scale = 1.0;
    if (bounds.width > 0)
        scale = static_cast<double>(pixelWidth) / bounds.width;
    return Json{{"width", wholePoints(bounds.width)}, {"height", wholePoints(bounds.height)}, {"scale", scale}};
}

}

Json statusReport(Platform& platform, Permissions& permissions, const std::string& version)
{
    Json report = Json::object();
    report["display"] = mainDisplay(platform.displays);
    // screenDetail() right after screenState() is answered from the probe the first one
    // made, so the two describe the same probe.
    report["screen"] = Permissions::rawValue(permissions.screenState());
    report["screen_detail"] = permissions.screenDetail();
    report["capture"] = ScreenCapture::source(platform);
    report["accessibility"] = permissions.accessibilityGranted();
    report["microphone"] = Permissions::rawValue(permissions.microphoneState());
    report["pid"] = static_cast<std::int64_t>(::getpid());
    report["version"] = version.empty() ? std::string("0") : version;
    return report;
}
