#pragma once

#include "base/SerialQueue.hpp"
#include "imaging/Image.hpp"
#include "platform/Geometry.hpp"
#include "platform/pipewire/PipeWireScreenStream.hpp"
#include "platform/portal/PortalSession.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

// The user's consent to share the screen, as the desktop's screen-sharing dialog gives it,
// and the screen cast it opens: the stream of the main monitor, kept for the life of the
// process. The consent is the Screen Recording permission: not asked yet, being asked,
// granted, refused. A grant the portal can keep leaves a restore token in the user's state
// folder, private to the user, so that the next process starts sharing without a dialog.
//
// The portal session lives on a worker queue of its own, because a dialog can stay open for
// minutes; queries answer from the last known state at once. Thread-safe.
class GnomeScreenCast {
public:
    enum class Consent { notAsked, asking, granted, refused, failed };

    // `tokenFile`: where the restore token is kept.
    explicit GnomeScreenCast(std::filesystem::path tokenFile);
    ~GnomeScreenCast();

    // The user's state folder's file for the token: $XDG_STATE_HOME or ~/.local/state.
    static std::filesystem::path defaultTokenFile();

    // Shows the dialog unless sharing stands or the dialog is open; returns at once. A
    // refusal is asked again: the user asked for it.
    void ask();
    // Starts sharing without a dialog when a token from an earlier grant is kept; returns at
    // once. Does nothing otherwise.
    void resume();

    // The state now, with a sentence for people where it is not granted. A stream that has
    // ended (the user stopped sharing, the desktop went away) counts as not asked.
    Consent consent();
    std::string detail();

    // The newest frame of the main monitor. Throws PlatformError when sharing does not stand.
    Image frame();
    // The monitor's logical size as the portal reported it (0 x 0 before a grant).
    std::pair<int, int> logicalSize();
    // Where the monitor lies in the shell's logical pixels, as the portal reported it (the
    // origin when it did not say; the zero rectangle before a grant).
    Rect monitorPlace();

private:
    void start(bool allowDialog);
    void keepToken(const std::string& token);
    std::string readToken() const;

    std::filesystem::path tokenFile_;
    std::mutex lock_;
    Consent consent_ = Consent::notAsked;
    std::string detail_;
    std::shared_ptr<PipeWireScreenStream> stream_;
    PortalStream monitor_;
    // Used only on the worker.
    std::unique_ptr<PortalSession> portal_;
    SerialQueue worker_;
};
