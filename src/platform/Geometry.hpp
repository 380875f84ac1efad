#pragma once

// A rectangle in the global display space, in points: origin at the top-left corner of the
// main display, y growing downwards. Width and height may come negative from a platform;
// callers that need a size take the absolute value.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const Rect&, const Rect&) = default;
};
