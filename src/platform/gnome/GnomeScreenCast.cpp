#include "platform/gnome/GnomeScreenCast.hpp"

#include "base/PlatformError.hpp"
#include "platform/gnome/GnomeRestoreToken.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long the dialog may stay open before it is taken away unanswered.
constexpr auto dialogDeadline = std::chrono::minutes(5);
// A grant's first frame comes within a frame time; a busy desktop may take longer.
constexpr auto frameDeadline = std::chrono::milliseconds(3000);

} // namespace

GnomeScreenCast::GnomeScreenCast(std::filesystem::path tokenFile)
    : tokenFile_(std::move(tokenFile)), worker_("com.velmar.computer-use.gnome-screencast")
{
}

GnomeScreenCast::~GnomeScreenCast()
{
    // The worker may sit in an open dialog; ending the process takes the dialog away with
    // the bus connection, so nothing waits for it here.
    std::lock_guard lock(lock_);
    stream_.reset();
}

std::filesystem::path GnomeScreenCast::defaultTokenFile()
{
    return restoreTokenFile("screen-sharing-token");
}

void GnomeScreenCast::ask()
{
    {
        std::lock_guard lock(lock_);
        if (consent_ == Consent::asking || (consent_ == Consent::granted && stream_ && stream_->alive()))
            return;
        consent_ = Consent::asking;
    }
    worker_.async([this] { start(true); });
}

void GnomeScreenCast::resume()
{
    if (readToken().empty())
        return;
    {
        std::lock_guard lock(lock_);
        if (consent_ != Consent::notAsked)
            return;
        consent_ = Consent::asking;
    }
    worker_.async([this] { start(false); });
}

void GnomeScreenCast::start(bool)
{
    PortalAnswer answer;
    try {
        if (!portal_)
            portal_ = std::make_unique<PortalSession>();
        answer = portal_->start(readToken(), true, std::chrono::duration_cast<std::chrono::seconds>(dialogDeadline));
    } catch (const std::exception& error) {
        portal_.reset(); // the bus may be gone: connect afresh next time
        answer.outcome = PortalAnswer::Outcome::failed;
        answer.reason = error.what();
    }
    std::shared_ptr<PipeWireScreenStream> stream;
    if (answer.outcome == PortalAnswer::Outcome::granted) {
        try {
            stream = std::make_shared<PipeWireScreenStream>(answer.pipeWireFd, answer.streams.front().nodeID);
        } catch (const std::exception& error) {
            answer.outcome = PortalAnswer::Outcome::failed;
            answer.reason = error.what();
            portal_->close();
        }
    } else if (answer.pipeWireFd >= 0) {
        ::close(answer.pipeWireFd);
    }
    if (answer.outcome == PortalAnswer::Outcome::granted && !answer.restoreToken.empty())
        keepToken(answer.restoreToken);
    std::lock_guard lock(lock_);
    switch (answer.outcome) {
    case PortalAnswer::Outcome::granted:
        consent_ = Consent::granted;
        detail_.clear();
        stream_ = std::move(stream);
        monitor_ = answer.streams.front();
        break;
    case PortalAnswer::Outcome::refused:
        consent_ = Consent::refused;
        detail_ = "the user refused to share the screen in the desktop's dialog";
        break;
    case PortalAnswer::Outcome::failed:
        consent_ = Consent::failed;
        detail_ = answer.reason;
        break;
    }
}

GnomeScreenCast::Consent GnomeScreenCast::consent()
{
    {
        std::lock_guard lock(lock_);
        if (consent_ != Consent::granted || (stream_ && stream_->alive()))
            return consent_;
        // The user stopped sharing, or the desktop or PipeWire went away (a compositor that
        // restarts ends every cast): the next ask opens a new session.
        stream_.reset();
        consent_ = Consent::notAsked;
    }
    // A kept grant shares the screen again without a dialog, as at start-up.
    resume();
    std::lock_guard lock(lock_);
    return consent_;
}

std::string GnomeScreenCast::detail()
{
    switch (consent()) {
    case Consent::notAsked:
        return "the screen is not shared yet: the user is asked in the desktop's dialog on a request for the screen";
    case Consent::asking:
        return "the desktop's screen-sharing dialog is waiting for the user's answer";
    case Consent::granted:
        return "";
    case Consent::refused:
    case Consent::failed:
        break;
    }
    std::lock_guard lock(lock_);
    return detail_;
}

Image GnomeScreenCast::frame()
{
    std::shared_ptr<PipeWireScreenStream> stream;
    {
        std::lock_guard lock(lock_);
        stream = stream_;
    }
    if (!stream)
        throw PlatformError("GNOME", 0, detail());
    return stream->frame(frameDeadline);
}

std::pair<int, int> GnomeScreenCast::logicalSize()
{
    std::lock_guard lock(lock_);
    return {monitor_.width, monitor_.height};
}

Rect GnomeScreenCast::monitorPlace()
{
    std::lock_guard lock(lock_);
    return {static_cast<double>(monitor_.x), static_cast<double>(monitor_.y), static_cast<double>(monitor_.width),
            static_cast<double>(monitor_.height)};
}

std::string GnomeScreenCast::readToken() const
{
    return readRestoreToken(tokenFile_);
}

void GnomeScreenCast::keepToken(const std::string& token)
{
    keepRestoreToken(tokenFile_, token);
}
