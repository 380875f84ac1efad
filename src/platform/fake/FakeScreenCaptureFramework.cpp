#include "platform/fake/FakeScreenCaptureFramework.hpp"

#include <algorithm>
#include <thread>

namespace {

template<typename T, typename Completion>
std::function<void()> answer(const FakeScreenCaptureFramework::Script& script, T value, Completion completion)
{
    using Delivery = FakeScreenCaptureFramework::Delivery;
    std::optional<T> delivered;
    std::optional<PlatformError> error;
    if (script.delivery == Delivery::value || script.delivery == Delivery::valueAndError
        || script.delivery == Delivery::late)
        delivered = std::move(value);
    if (script.delivery == Delivery::error || script.delivery == Delivery::valueAndError)
        error = script.error;
    return [completion = std::move(completion), delivered = std::move(delivered), error = std::move(error)]() mutable {
        completion(std::move(delivered), std::move(error));
    };
}

void drawPointer(Image& image, const Image& sprite, int left, int top)
{
    for (int y = 0; y < sprite.height; ++y) {
        if (top + y < 0 || top + y >= image.height)
            continue;
        for (int x = 0; x < sprite.width; ++x) {
            if (left + x < 0 || left + x >= image.width)
                continue;
            std::copy_n(sprite.row(y) + x * 4, 4, image.row(top + y) + (left + x) * 4);
        }
    }
}

void onOtherThread(std::function<void()> call)
{
    std::thread(std::move(call)).join();
}

}

void FakeScreenCaptureFramework::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                                     ContentCompletion completion)
{
    std::function<void()> call;
    {
        std::lock_guard lock(mutex_);
        contentCalls_.push_back({excludingDesktopWindows, onScreenWindowsOnly});
        if (contentScript_.delivery == Delivery::never)
            return;
        call = answer(contentScript_, content_, std::move(completion));
        if (contentScript_.delivery == Delivery::late) {
            late_.push_back(std::move(call));
            return;
        }
    }
    onOtherThread(std::move(call));
}

ContentFilter FakeScreenCaptureFramework::filter(const ShareableDisplay& display)
{
    std::lock_guard lock(mutex_);
    const auto scale = scales_.find({ContentFilter::Kind::display, display.displayID});
    return {ContentFilter::Kind::display, display.displayID, scale == scales_.end() ? 0.0f : scale->second};
}

ContentFilter FakeScreenCaptureFramework::filter(const ShareableWindow& window)
{
    std::lock_guard lock(mutex_);
    const auto scale = scales_.find({ContentFilter::Kind::window, window.windowID});
    return {ContentFilter::Kind::window, window.windowID, scale == scales_.end() ? 0.0f : scale->second};
}

void FakeScreenCaptureFramework::captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                                              ImageCompletion completion)
{
    std::function<void()> call;
    {
        std::lock_guard lock(mutex_);
        captureCalls_.push_back({filter, configuration});
        if (captureScript_.delivery == Delivery::never)
            return;
        Image image;
        if (image_) {
            image = *image_;
        } else {
            image.width = static_cast<int>(configuration.width);
            image.height = static_cast<int>(configuration.height);
            image.bytesPerRow = static_cast<std::size_t>(image.width) * 4;
            image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(image.height), 0x80);
        }
        if (pointer_ && configuration.showsCursor)
            drawPointer(image, pointer_->sprite, pointer_->x, pointer_->y);
        call = answer(captureScript_, std::move(image), std::move(completion));
        if (captureScript_.delivery == Delivery::late) {
            late_.push_back(std::move(call));
            return;
        }
    }
    onOtherThread(std::move(call));
}

void FakeScreenCaptureFramework::setContent(ShareableContent content)
{
    std::lock_guard lock(mutex_);
    content_ = std::move(content);
}

void FakeScreenCaptureFramework::setContentScript(Script script)
{
    std::lock_guard lock(mutex_);
    contentScript_ = std::move(script);
}

void FakeScreenCaptureFramework::setImage(Image image)
{
    std::lock_guard lock(mutex_);
    image_ = std::move(image);
}

void FakeScreenCaptureFramework::setCaptureScript(Script script)
{
    std::lock_guard lock(mutex_);
    captureScript_ = std::move(script);
}

void FakeScreenCaptureFramework::setPointer(Image sprite, int x, int y)
{
    std::lock_guard lock(mutex_);
    pointer_ = Pointer{std::move(sprite), x, y};
}

void FakeScreenCaptureFramework::setPointPixelScale(ContentFilter::Kind kind, std::uint32_t id, float scale)
{
    std::lock_guard lock(mutex_);
    scales_[{kind, id}] = scale;
}

std::vector<FakeScreenCaptureFramework::ContentCall> FakeScreenCaptureFramework::contentCalls() const
{
    std::lock_guard lock(mutex_);
    return contentCalls_;
}

std::vector<FakeScreenCaptureFramework::CaptureCall> FakeScreenCaptureFramework::captureCalls() const
{
    std::lock_guard lock(mutex_);
    return captureCalls_;
}

std::size_t FakeScreenCaptureFramework::deliverLate()
{
    std::vector<std::function<void()>> late;
    {
        std::lock_guard lock(mutex_);
        late.swap(late_);
    }
    const std::size_t count = late.size();
    onOtherThread([&late] {
        for (auto& call : late)
            call();
        // The completions die here, on the framework's thread, as a real late answer's would.
        late.clear();
    });
    return count;
}
