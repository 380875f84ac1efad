#include "imaging/Image.hpp"

#include "base/PlatformError.hpp"

#include <string>

void checkPicture(const Image& image, const char* operation)
{
    if (image.width < 1 || image.height < 1 || image.bytesPerRow < static_cast<std::size_t>(image.width) * 4
        || image.pixels.size() < image.bytesPerRow * static_cast<std::size_t>(image.height))
        throw PlatformError("Imaging", 0, std::string(operation) + ": the picture is empty or its pixels are missing");
}
