#pragma once

#include "platform/Imaging.hpp"

// Imaging on Linux: shrinking is our own exact area average and enlarging goes through
// libswscale; JPEG is TurboJPEG's, straight from BGRX; PNG is our own writer. Shrinks and both
// encoders spread their work over the cores. Nothing is cached between calls, so any thread
// may call at any time.
class LinuxImaging final : public Imaging {
public:
    Image resize(const Image& image, int width, int height) override;
    Image thumbnail(const Image& image, int width, int height) override;
    std::vector<std::uint8_t> encodePNG(const Image& image) override;
    std::vector<std::uint8_t> encodeJPEG(const Image& image, double quality) override;
};

