#include "platform/fake/FakeImaging.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

std::vector<std::uint8_t> standIn(const std::string& type, const Image& image)
{
    const std::string text = type + " " + std::to_string(image.width) + "x" + std::to_string(image.height);
    return {text.begin(), text.end()};
}

}

void FakeImaging::record(Call call)
{
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    if (failure_ && failure_->first == call.operation)
        throw failure_->second;
}

Image FakeImaging::resize(const Image& image, int width, int height)
{
    record({Operation::resize, image.width, image.height, width, height});
    Image result = Image::blank(width, height);
    for (int y = 0; y < height; ++y) {
        const int sourceY = static_cast<int>(static_cast<std::int64_t>(y) * image.height / height);
        for (int x = 0; x < width; ++x) {
            const int sourceX = static_cast<int>(static_cast<std::int64_t>(x) * image.width / width);
            std::copy_n(image.row(sourceY) + static_cast<std::size_t>(sourceX) * 4, 4,
                        result.row(y) + static_cast<std::size_t>(x) * 4);
        }
    }
    return result;
}

// Straight from the definition, in doubles: slow, but plainly right.
Image FakeImaging::thumbnail(const Image& image, int width, int height)
{
    record({Operation::thumbnail, image.width, image.height, width, height});
    Image result = Image::blank(width, height);
    const double stepX = static_cast<double>(image.width) / width;
    const double stepY = static_cast<double>(image.height) / height;
    for (int outY = 0; outY < height; ++outY)
        for (int outX = 0; outX < width; ++outX) {
            const double left = outX * stepX, right = left + stepX, top = outY * stepY, bottom = top + stepY;
            double sums[4] = {0, 0, 0, 0};
            for (int y = static_cast<int>(top); y < image.height && y < bottom; ++y) {
                const double coverY = std::min<double>(y + 1, bottom) - std::max<double>(y, top);
                for (int x = static_cast<int>(left); x < image.width && x < right; ++x) {
                    const double cover = coverY * (std::min<double>(x + 1, right) - std::max<double>(x, left));
                    for (int channel = 0; channel < 4; ++channel)
                        sums[channel] += cover * image.row(y)[x * 4 + channel];
                }
            }
            for (int channel = 0; channel < 4; ++channel)
                result.row(outY)[outX * 4 + channel] =
                    static_cast<std::uint8_t>(std::lround(sums[channel] / (stepX * stepY)));
        }
    return result;
}

std::vector<std::uint8_t> FakeImaging::encodePNG(const Image& image)
{
    record({Operation::encodePNG, image.width, image.height});
    return standIn("PNG", image);
}

std::vector<std::uint8_t> FakeImaging::encodeJPEG(const Image& image, double quality)
{
    record({Operation::encodeJPEG, image.width, image.height, 0, 0, quality});
    return standIn("JPEG", image);
}

Image FakeImaging::lendKept(const PictureSource&)
{
    return {};
}

const Image& FakeImaging::keep(const PictureSource& source, Image captured, const std::vector<std::uint8_t>*)
{
    {
        std::lock_guard lock(mutex_);
        keptSources_.push_back(source);
    }
    current_ = std::move(captured);
    return current_;
}

Image FakeImaging::keptThumbnail(int width, int height)
{
    return thumbnail(current_, width, height);
}

EncodedPicture FakeImaging::encodeKept(int width, int height, PictureFormat format, double quality)
{
    const auto encoded = [&](const Image& image) {
        return EncodedPicture{format == PictureFormat::png ? encodePNG(image) : encodeJPEG(image, quality)};
    };
    if (width == current_.width && height == current_.height)
        return encoded(current_);
    return encoded(resize(current_, width, height));
}

void FakeImaging::releaseKept()
{
    current_ = Image();
    std::lock_guard lock(mutex_);
    ++releases_;
}

std::vector<PictureSource> FakeImaging::keptSources() const
{
    std::lock_guard lock(mutex_);
    return keptSources_;
}

std::size_t FakeImaging::releases() const
{
    std::lock_guard lock(mutex_);
    return releases_;
}

void FakeImaging::fail(Operation operation, PlatformError error)
{
    std::lock_guard lock(mutex_);
    failure_.emplace(operation, std::move(error));
}

void FakeImaging::succeed()
{
    std::lock_guard lock(mutex_);
    failure_.reset();
}

std::vector<FakeImaging::Call> FakeImaging::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t FakeImaging::count(Operation operation) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [operation](const Call& call) { return call.operation == operation; }));
}
