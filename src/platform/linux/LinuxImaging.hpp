#pragma once

#include "platform/Imaging.hpp"

#include <mutex>

// Imaging on Linux: shrinking is our own exact area average and enlarging our own bicubic
// resampler; JPEG is TurboJPEG's, straight from BGRX; PNG is our own writer. The resizes and
// both encoders spread their work over the cores. The plain calls keep nothing, so any
// thread may make them at any time; the kept picture (one source, one output kind: see
// PictureCache) is guarded by a lock against a release from another thread.
class LinuxImaging final : public Imaging {
public:
    Image resize(const Image& image, int width, int height) override;
    Image thumbnail(const Image& image, int width, int height) override;
    std::vector<std::uint8_t> encodePNG(const Image& image) override;
    std::vector<std::uint8_t> encodeJPEG(const Image& image, double quality) override;

    Image lendKept(const PictureSource& source) override;
    const Image& keep(const PictureSource& source, Image captured,
                      const std::vector<std::uint8_t>* comparedRows) override;
    Image keptThumbnail(int width, int height) override;
    EncodedPicture encodeKept(int width, int height, PictureFormat format, double quality) override;
    void releaseKept() override;

private:
    std::mutex keptLock_;
    PictureCache kept_;
};

