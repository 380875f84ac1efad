#pragma once

// FIXME: stand-ins so the executable links until the X11 capture backend and the Linux
// privacy checks are written; each is to be replaced by its real implementation (and this
// file removed). They report nothing usable: no displays, no windows, no permissions.

#include "platform/Displays.hpp"
#include "platform/Privacy.hpp"
#include "platform/ScreenCaptureFramework.hpp"
#include "platform/WindowServer.hpp"

class PlaceholderScreenCapture final : public ScreenCaptureFramework {
public:
    void getShareableContent(bool, bool, ContentCompletion completion) override;
    ContentFilter filter(const ShareableDisplay& display) override;
    ContentFilter filter(const ShareableWindow& window) override;
    void captureImage(const ContentFilter&, const StreamConfiguration&, ImageCompletion completion) override;
};

class PlaceholderDisplays final : public Displays {
public:
    std::uint32_t mainDisplayID() override { return 0; }
    Rect bounds(std::uint32_t) override { return {}; }
    std::optional<std::int64_t> modePixelWidth(std::uint32_t) override { return std::nullopt; }
    std::int64_t pixelsWide(std::uint32_t) override { return 0; }
    std::optional<Image> createImage(std::uint32_t) override { return std::nullopt; }
};

class PlaceholderWindowServer final : public WindowServer {
public:
    std::optional<Json> copyWindowInfo(std::uint32_t, std::uint32_t) override { return std::nullopt; }
    std::optional<std::string> bundleIdentifier(std::int32_t) override { return std::nullopt; }
    std::optional<Image> createWindowImage(std::uint32_t) override { return std::nullopt; }
};

class PlaceholderPrivacy final : public Privacy {
public:
    bool preflightScreenCaptureAccess() override { return false; }
    void requestScreenCaptureAccess() override {}
    bool isProcessTrusted() override { return false; }
    void promptForAccessibility() override {}
    int microphoneAuthorizationStatus() override { return notDetermined; }
    void requestMicrophoneAccess() override {}
    void activateApplication() override {}
    void openSettings(SettingsPage) override {}
};
