#pragma once

#include "platform/ScreenCaptureFramework.hpp"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

// A scriptable capture framework. Each query answers as its script says: with the value,
// the error, both, neither, never, or late (held until deliverLate()). Answers that come at
// once are delivered on a thread of the fake's own, joined before the query returns, so the
// caller's wait finds them already signalled.
class FakeScreenCaptureFramework final : public ScreenCaptureFramework {
public:
    enum class Delivery { value, error, valueAndError, neither, never, late };

    struct Script {
        Delivery delivery = Delivery::value;
        PlatformError error{screenCaptureErrorDomain, -3801, "The user declined TCCs for application, window, display capture"};
    };
    struct ContentCall {
        bool excludingDesktopWindows;
        bool onScreenWindowsOnly;
    };
    struct CaptureCall {
        ContentFilter filter;
        StreamConfiguration configuration;
    };

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter& filter, const StreamConfiguration& configuration,
                      ImageCompletion completion) override;

    void setContent(ShareableContent content);
    void setContentScript(Script script);
    // The picture delivered; without one, a picture of the configuration's size is made.
    void setImage(Image image);
    void setCaptureScript(Script script);
    // A pointer drawn into every picture whose configuration shows the cursor, as the real
    // backends draw theirs: the sprite's pixels replace the picture's from (x, y) on.
    void setPointer(Image sprite, int x, int y);
    void setPointPixelScale(ContentFilter::Kind kind, std::uint32_t id, float scale);

    std::vector<ContentCall> contentCalls() const;
    std::vector<CaptureCall> captureCalls() const;

    // Calls every completion held back by Delivery::late with the scripted value, on a thread
    // of its own, and waits for them. Returns how many there were.
    std::size_t deliverLate();

private:
    mutable std::mutex mutex_;
    ShareableContent content_;
    Script contentScript_;
    std::optional<Image> image_;
    Script captureScript_;
    struct Pointer {
        Image sprite;
        int x, y;
    };
    std::optional<Pointer> pointer_;
    std::map<std::pair<ContentFilter::Kind, std::uint32_t>, float> scales_;
    std::vector<ContentCall> contentCalls_;
    std::vector<CaptureCall> captureCalls_;
    std::vector<std::function<void()>> late_;
};
