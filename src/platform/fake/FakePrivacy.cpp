#include "platform/fake/FakePrivacy.hpp"

#include "platform/fake/FakeMainThread.hpp"

void FakePrivacy::record(std::string name)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({std::move(name), FakeMainThread::isCurrent()});
}

bool FakePrivacy::preflightScreenCaptureAccess()
{
    ++preflights_;
    return screenCaptureAllowed;
}

std::optional<std::string> FakePrivacy::screenCaptureLimit()
{
    std::lock_guard lock(mutex_);
    return screenCaptureLimit_;
}

void FakePrivacy::setScreenCaptureLimit(std::optional<std::string> limit)
{
    std::lock_guard lock(mutex_);
    screenCaptureLimit_ = std::move(limit);
}

std::optional<std::string> FakePrivacy::screenCaptureNote()
{
    std::lock_guard lock(mutex_);
    return screenCaptureNote_;
}

void FakePrivacy::setScreenCaptureNote(std::optional<std::string> note)
{
    std::lock_guard lock(mutex_);
    screenCaptureNote_ = std::move(note);
}

void FakePrivacy::requestScreenCaptureAccess()
{
    record("requestScreenCaptureAccess");
}

bool FakePrivacy::isProcessTrusted()
{
    return trusted;
}

void FakePrivacy::promptForAccessibility()
{
    record("promptForAccessibility");
}

int FakePrivacy::microphoneAuthorizationStatus()
{
    return microphoneStatus;
}

void FakePrivacy::requestMicrophoneAccess()
{
    record("requestMicrophoneAccess");
}

void FakePrivacy::activateApplication()
{
    record("activateApplication");
}

void FakePrivacy::openSettings(SettingsPage page)
{
    record(page == SettingsPage::screenCapture ? "openSettings screenCapture" : "openSettings accessibility");
}

std::vector<FakePrivacy::Call> FakePrivacy::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}
