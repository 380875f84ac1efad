#pragma once

#include "base/PlatformError.hpp"
#include "platform/Imaging.hpp"

#include <mutex>
#include <optional>
#include <string>

// Imaging that records what it was asked and can be told to fail. resize() samples the
// nearest pixel and thumbnail() takes a true area average, so pictures keep their content;
// the encoders return a small stand-in file, "PNG" or "JPEG" followed by the size, which no
// decoder reads but a test can recognise. The kept-picture calls keep only the current
// picture and do the whole work through the plain calls, so they are recorded as those.
class FakeImaging final : public Imaging {
public:
    enum class Operation { resize, thumbnail, encodePNG, encodeJPEG };

    struct Call {
        Operation operation;
        int sourceWidth;
        int sourceHeight;
        int width = 0;          // resize and thumbnail: the size asked for
        int height = 0;
        double quality = 0;     // encodeJPEG
    };

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

    // The sources kept so far, in order, and how often the kept picture was released.
    std::vector<PictureSource> keptSources() const;
    std::size_t releases() const;

    // Every later call of this operation throws the error.
    void fail(Operation operation, PlatformError error = PlatformError("Imaging", 1, "fake failure"));
    void succeed();

    std::vector<Call> calls() const;
    std::size_t count(Operation operation) const;

private:
    void record(Call call);

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::optional<std::pair<Operation, PlatformError>> failure_;
    Image current_;
    std::vector<PictureSource> keptSources_;
    std::size_t releases_ = 0;
};
