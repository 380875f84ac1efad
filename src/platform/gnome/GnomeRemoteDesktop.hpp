#pragma once

#include "base/SerialQueue.hpp"
#include "platform/portal/PortalSession.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// The user's consent to let this process drive the desktop, as the desktop's remote-desktop
// dialog gives it, and the session it opens: the Accessibility permission of this desktop.
// The user is asked on a request for it, and the session is kept for the life of the process.
// Portals before version 2 keep no such grant between processes, so there each process asks
// once; later ones give a restore token, kept like the screen's (private to the user), with
// which the next process starts without a dialog. Input is granted only when the user turned
// on "remote interaction" for both keyboard and pointer.
//
// The dialog runs on a worker queue of its own, because it can stay open for minutes;
// queries answer from the last known state at once. Thread-safe.
class GnomeRemoteDesktop {
public:
    enum class Consent { notAsked, asking, granted, refused, failed };

    // `tokenFile`: where a restore token is kept, when the portal gives one.
    explicit GnomeRemoteDesktop(std::filesystem::path tokenFile);
    ~GnomeRemoteDesktop();

    // Shows the dialog unless input is granted or the dialog is open; returns at once.
    void ask();
    // Starts the session without a dialog when a token from an earlier grant is kept;
    // returns at once. Does nothing otherwise.
    void resume();

    // The state now. A session that has ended (the user stopped it, the desktop went away)
    // counts as not asked.
    Consent consent();
    // Why input cannot be posted, for people; "" when it can.
    std::string detail();

    // Runs `work` on the granted session, one caller at a time, with the stream whose
    // monitor pointer positions are on. Throws PlatformError when input is not granted;
    // passes on what `work` throws.
    void post(const std::function<void(PortalSession&, const PortalStream&)>& work);

private:
    void start();

    std::filesystem::path tokenFile_;
    std::mutex lock_;
    Consent consent_ = Consent::notAsked;
    std::string detail_;
    PortalStream monitor_;
    // Made and started on the worker, used by post() once granted; under sessionLock_.
    std::mutex sessionLock_;
    std::unique_ptr<PortalSession> session_;
    SerialQueue worker_;
};
