#include "platform/gnome/GnomeRemoteDesktop.hpp"

#include "base/PlatformError.hpp"
#include "platform/gnome/GnomeRestoreToken.hpp"

namespace {

// How long the dialog may stay open before it is taken away unanswered.
constexpr auto dialogDeadline = std::chrono::minutes(5);
// The portal's device bits: keyboard and pointer.
constexpr std::uint32_t keyboardAndPointer = 1 | 2;

PlatformError notGranted(const std::string& why)
{
    return PlatformError("GNOME", 0, why);
}

} // namespace

GnomeRemoteDesktop::GnomeRemoteDesktop(std::filesystem::path tokenFile)
    : tokenFile_(std::move(tokenFile)), worker_("com.velmar.computer-use.gnome-remote-desktop")
{
}

GnomeRemoteDesktop::~GnomeRemoteDesktop()
{
    // A dialog still open goes away with the bus connection when the process ends.
    std::lock_guard lock(sessionLock_);
    if (session_)
        session_->close();
}

void GnomeRemoteDesktop::ask()
{
    {
        std::lock_guard lock(lock_);
        if (consent_ == Consent::asking)
            return;
        consent_ = Consent::asking;
    }
    worker_.async([this] { start(); });
}

void GnomeRemoteDesktop::resume()
{
    if (readRestoreToken(tokenFile_).empty())
        return;
    ask();
}

void GnomeRemoteDesktop::start()
{
    std::unique_ptr<PortalSession> session;
    PortalAnswer answer;
    {
        // A granted session that still stands is kept: the user is not asked twice.
        std::lock_guard guard(sessionLock_);
        if (session_ && session_->sessionOpen()) {
            std::lock_guard lock(lock_);
            if (consent_ == Consent::asking)
                consent_ = Consent::granted;
            return;
        }
        session_.reset();
    }
    try {
        session = std::make_unique<PortalSession>(PortalSession::Kind::remoteDesktop);
        answer = session->start(readRestoreToken(tokenFile_), true,
                                std::chrono::duration_cast<std::chrono::seconds>(dialogDeadline));
    } catch (const std::exception& error) {
        answer.outcome = PortalAnswer::Outcome::failed;
        answer.reason = error.what();
    }
    Consent consent = Consent::failed;
    std::string detail = answer.reason;
    if (answer.outcome == PortalAnswer::Outcome::granted) {
        if ((answer.devices & keyboardAndPointer) == keyboardAndPointer && !answer.streams.empty()) {
            consent = Consent::granted;
            detail.clear();
            keepRestoreToken(tokenFile_, answer.restoreToken);
        } else {
            // Shared the screen but left "remote interaction" off: no input.
            consent = Consent::refused;
            detail = "the user did not allow remote interaction in the desktop's remote-desktop dialog";
            session->close();
        }
    } else if (answer.outcome == PortalAnswer::Outcome::refused) {
        consent = Consent::refused;
        detail = "the user refused remote interaction in the desktop's remote-desktop dialog";
    }
    std::lock_guard guard(sessionLock_);
    std::lock_guard lock(lock_);
    consent_ = consent;
    detail_ = detail;
    if (consent == Consent::granted) {
        session_ = std::move(session);
        monitor_ = answer.streams.front();
    }
}

GnomeRemoteDesktop::Consent GnomeRemoteDesktop::consent()
{
    {
        std::lock_guard lock(lock_);
        if (consent_ != Consent::granted)
            return consent_;
    }
    // The session may have ended since: the user stopped it from the desktop's menu, or the
    // desktop went away. try_lock: a post in progress shows the session stands.
    std::unique_lock guard(sessionLock_, std::try_to_lock);
    if (guard.owns_lock() && (!session_ || !session_->sessionOpen())) {
        session_.reset();
        std::lock_guard lock(lock_);
        consent_ = Consent::notAsked;
    }
    std::lock_guard lock(lock_);
    return consent_;
}

std::string GnomeRemoteDesktop::detail()
{
    switch (consent()) {
    case Consent::notAsked:
        return "input is not allowed yet: the user is asked in the desktop's remote-desktop dialog on a request for "
               "accessibility";
    case Consent::asking:
        return "the desktop's remote-desktop dialog is waiting for the user's answer";
    case Consent::granted:
        return "";
    case Consent::refused:
    case Consent::failed:
        break;
    }
    std::lock_guard lock(lock_);
    return detail_;
}

void GnomeRemoteDesktop::post(const std::function<void(PortalSession&, const PortalStream&)>& work)
{
    if (consent() != Consent::granted)
        throw notGranted(detail());
    std::lock_guard guard(sessionLock_);
    if (!session_)
        throw notGranted("the remote-desktop session has ended");
    PortalStream monitor;
    {
        std::lock_guard lock(lock_);
        monitor = monitor_;
    }
    try {
        work(*session_, monitor);
    } catch (const std::exception&) {
        // A session that ended under the event is forgotten, so that the next request for
        // accessibility asks anew.
        if (!session_->sessionOpen()) {
            session_.reset();
            std::lock_guard lock(lock_);
            consent_ = Consent::notAsked;
        }
        throw;
    }
}
