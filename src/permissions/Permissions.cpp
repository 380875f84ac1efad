#include "permissions/Permissions.hpp"

#include "capture/ScreenCapture.hpp"
#include "platform/MainThread.hpp"
#include "platform/Platform.hpp"
#include "platform/Privacy.hpp"

#include <chrono>

namespace {

constexpr double probeLifetimeSeconds = 3.0;

}

const char* Permissions::rawValue(ScreenState state)
{
    switch (state) {
    case ScreenState::granted: return "granted";
    case ScreenState::denied: return "denied";
    case ScreenState::unknown: return "unknown";
    }
    return "unknown";
}

std::optional<Permissions::ScreenState> Permissions::fromRawValue(std::string_view text)
{
    for (auto state : {ScreenState::granted, ScreenState::denied, ScreenState::unknown}) {
        if (text == rawValue(state))
            return state;
    }
    return std::nullopt;
}

Permissions::Permissions(Platform& platform)
    : platform_(platform)
{
}

std::pair<Permissions::ScreenState, std::string> Permissions::screenStateAndDetail()
{
    if (!platform_.privacy.preflightScreenCaptureAccess())
        return {ScreenState::denied, ""};
    // The capture framework would answer for the windows it can capture; the screen is
    // beyond it all the same.
    if (auto limit = platform_.privacy.screenCaptureLimit())
        return {ScreenState::denied, std::move(*limit)};
    auto probe = probed();
    // Where the screen is shared, what is still missing goes in the detail; otherwise the
    // detail is about sharing, which comes first.
    if (probe.first == ScreenState::granted) {
        if (auto note = platform_.privacy.screenCaptureNote())
            probe.second = std::move(*note);
    }
    return probe;
}

std::pair<Permissions::ScreenState, std::string> Permissions::contentStateAndDetail()
{
    if (!platform_.privacy.preflightScreenCaptureAccess())
        return {ScreenState::denied, ""};
    return probed();
}

std::pair<Permissions::ScreenState, std::string> Permissions::probed()
{
    std::lock_guard guard(lock_);
    // A caller that waited here while another probed reads the time only now, and so finds
    // that probe fresh instead of probing again.
    const auto now = platform_.clock.now();
    const bool fresh = probedAt_
        && std::chrono::duration<double>(now - *probedAt_).count() < probeLifetimeSeconds;
    if (!fresh) {
        const auto probe = ScreenCapture::probe(platform_);
        switch (probe.kind) {
        case ScreenCapture::Probe::Kind::granted: probed_ = {ScreenState::granted, ""}; break;
        case ScreenCapture::Probe::Kind::denied: probed_ = {ScreenState::denied, probe.text}; break;
        case ScreenCapture::Probe::Kind::unknown: probed_ = {ScreenState::unknown, probe.text}; break;
        }
        // The 3 seconds count from the end of the probe, which may itself take 10.
        probedAt_ = platform_.clock.now();
    }
    return probed_;
}

Permissions::ScreenState Permissions::screenState()
{
    return screenStateAndDetail().first;
}

std::string Permissions::screenDetail()
{
    return screenStateAndDetail().second;
}

Permissions::ScreenState Permissions::contentState()
{
    return contentStateAndDetail().first;
}

std::string Permissions::contentDetail()
{
    return contentStateAndDetail().second;
}

void Permissions::forgetProbe()
{
    std::lock_guard guard(lock_);
    probedAt_.reset();
}

bool Permissions::accessibilityGranted()
{
    return platform_.privacy.isProcessTrusted();
}

Permissions::ScreenState Permissions::microphoneState()
{
    switch (platform_.privacy.microphoneAuthorizationStatus()) {
    case Privacy::restricted:
    case Privacy::denied: return ScreenState::denied;
    case Privacy::authorized: return ScreenState::granted;
    default: return ScreenState::unknown;
    }
}

void Permissions::requestMicrophone()
{
    // A user who has decided is never asked again.
    if (platform_.privacy.microphoneAuthorizationStatus() != Privacy::notDetermined)
        return;
    Privacy& privacy = platform_.privacy;
    platform_.mainThread.async([&privacy] {
        privacy.activateApplication();
        privacy.requestMicrophoneAccess();
    });
}

void Permissions::request(const std::string& what)
{
    Privacy& privacy = platform_.privacy;
    platform_.mainThread.sync([&privacy, &what] {
        if (what == "screen") {
            privacy.activateApplication();
            privacy.requestScreenCaptureAccess();
        } else {
            privacy.promptForAccessibility();
        }
    });
    // Whatever the user answers, the cached probe predates it.
    forgetProbe();
}

void Permissions::openPane(const std::string& what)
{
    const auto page = what == "screen" ? Privacy::SettingsPage::screenCapture : Privacy::SettingsPage::accessibility;
    Privacy& privacy = platform_.privacy;
    platform_.mainThread.async([&privacy, page] { privacy.openSettings(page); });
}
