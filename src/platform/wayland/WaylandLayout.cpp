#include "platform/wayland/WaylandLayout.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Sub-pixel steps of the pointer's axes: fine enough for a fractional scale, small enough
// that the widest layout fits a 32-bit extent.
constexpr double pointerSteps = 256;

double overlap(double start1, double length1, double start2, double length2)
{
    return std::max(0.0, std::min(start1 + length1, start2 + length2) - std::max(start1, start2));
}

} // namespace

WaylandLayout::WaylandLayout(std::vector<WaylandOutput> outputs) : outputs_(std::move(outputs)) {}

const WaylandOutput* WaylandLayout::main() const
{
    for (const auto& output : outputs_) {
        if (output.x == 0 && output.y == 0)
            return &output;
    }
    return outputs_.empty() ? nullptr : &outputs_.front();
}

const WaylandOutput* WaylandLayout::find(std::uint32_t id) const
{
    for (const auto& output : outputs_) {
        if (output.id == id)
            return &output;
    }
    return nullptr;
}

Rect WaylandLayout::bounds(const WaylandOutput& output) const
{
    const WaylandOutput* origin = main();
    const int originX = origin ? origin->x : 0;
    const int originY = origin ? origin->y : 0;
    return {static_cast<double>(output.x - originX), static_cast<double>(output.y - originY),
            static_cast<double>(output.width), static_cast<double>(output.height)};
}

double WaylandLayout::pixelScale(const WaylandOutput& output)
{
    if (output.width <= 0 || output.pixelWidth() <= 0)
        return 1.0;
    return static_cast<double>(output.pixelWidth()) / output.width;
}

const WaylandOutput* WaylandLayout::outputShowing(const Rect& frame) const
{
    const WaylandOutput* best = nullptr;
    double bestArea = 0;
    for (const auto& output : outputs_) {
        const Rect place = bounds(output);
        const double area = overlap(frame.x, std::fabs(frame.width), place.x, place.width)
            * overlap(frame.y, std::fabs(frame.height), place.y, place.height);
        if (area > bestArea) {
            best = &output;
            bestArea = area;
        }
    }
    return best;
}

PixelRect WaylandLayout::pixelsOf(const WaylandOutput& output, const Rect& frame) const
{
    const Rect place = bounds(output);
    const double scaleX = output.width > 0 ? static_cast<double>(output.pixelWidth()) / output.width : 1.0;
    const double scaleY = output.height > 0 ? static_cast<double>(output.pixelHeight()) / output.height : 1.0;
    const auto edge = [](double points, double scale, int limit) {
        const double pixel = std::round(points * scale);
        return static_cast<int>(std::clamp(pixel, 0.0, static_cast<double>(limit)));
    };
    const int left = edge(frame.x - place.x, scaleX, output.pixelWidth());
    const int top = edge(frame.y - place.y, scaleY, output.pixelHeight());
    const int right = edge(frame.x + std::fabs(frame.width) - place.x, scaleX, output.pixelWidth());
    const int bottom = edge(frame.y + std::fabs(frame.height) - place.y, scaleY, output.pixelHeight());
    return {left, top, right - left, bottom - top};
}

std::optional<PointerPosition> WaylandLayout::pointer(InputPoint point) const
{
    const WaylandOutput* origin = main();
    if (!origin)
        return std::nullopt;
    int left = std::numeric_limits<int>::max(), top = std::numeric_limits<int>::max();
    int right = std::numeric_limits<int>::min(), bottom = std::numeric_limits<int>::min();
    for (const auto& output : outputs_) {
        left = std::min(left, output.x);
        top = std::min(top, output.y);
        right = std::max(right, output.x + output.width);
        bottom = std::max(bottom, output.y + output.height);
    }
    if (right <= left || bottom <= top)
        return std::nullopt;
    const auto axis = [](double value, int low, int high) {
        const double steps = std::round((std::clamp(value, double(low), double(high)) - low) * pointerSteps);
        return static_cast<std::uint32_t>(steps);
    };
    const double x = std::isfinite(point.x) ? point.x + origin->x : origin->x;
    const double y = std::isfinite(point.y) ? point.y + origin->y : origin->y;
    return PointerPosition{axis(x, left, right), axis(y, top, bottom),
                           static_cast<std::uint32_t>((right - left) * pointerSteps),
                           static_cast<std::uint32_t>((bottom - top) * pointerSteps)};
}
