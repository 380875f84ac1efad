#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One finished screenshot: the encoded file and the geometry that relates its pixels to
// screen points. `scale` describes the capture before any reduction, so after one
// width / screenWidth is smaller than scale.
struct Shot {
    std::vector<std::uint8_t> data; // PNG or JPEG file bytes, or their Base64 text:
    bool dataIsBase64Text = false;  // Base64 with "/" escaped, as answers write it
    std::string mime;               // "image/png" or "image/jpeg"
    std::int64_t width = 0;         // of the encoded picture, in pixels
    std::int64_t height = 0;
    std::int64_t screenWidth = 0;   // of the display or window frame, in points, truncated
    std::int64_t screenHeight = 0;
    double scale = 1.0;             // captured pixels per point
    std::int64_t originX = 0;       // window shot: the frame's origin in points, truncated
    std::int64_t originY = 0;
};
