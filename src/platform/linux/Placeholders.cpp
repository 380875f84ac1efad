#include "platform/linux/Placeholders.hpp"

#include <thread>

namespace {

PlatformError notBuilt()
{
    return PlatformError("X11", 0, "the X11 capture backend is not available");
}

}

// Completions run on a thread of their own, never the caller's, as the interface promises.
void PlaceholderScreenCapture::getShareableContent(bool, bool, ContentCompletion completion)
{
    std::thread([completion = std::move(completion)] { completion(std::nullopt, notBuilt()); }).detach();
}

ContentFilter PlaceholderScreenCapture::filter(const ShareableDisplay& display)
{
    return {ContentFilter::Kind::display, display.displayID, 0};
}

ContentFilter PlaceholderScreenCapture::filter(const ShareableWindow& window)
{
    return {ContentFilter::Kind::window, window.windowID, 0};
}

void PlaceholderScreenCapture::captureImage(const ContentFilter&, const StreamConfiguration&, ImageCompletion completion)
{
    std::thread([completion = std::move(completion)] { completion(std::nullopt, notBuilt()); }).detach();
}
