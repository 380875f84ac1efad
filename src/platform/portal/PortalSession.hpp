#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

// One stream of a screen cast: the PipeWire node that carries it, and where it lies on the
// desktop in logical pixels.
struct PortalStream {
    std::uint32_t nodeID = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// What the user answered in the desktop's screen-sharing or remote-desktop dialog.
struct PortalAnswer {
    enum class Outcome { granted, refused, failed };
    Outcome outcome = Outcome::failed;
    // granted: the PipeWire remote (a file descriptor owned by the receiver), the streams,
    // and a token that lets the next session start without a dialog where the portal keeps
    // one ("" otherwise).
    int pipeWireFd = -1;
    std::vector<PortalStream> streams;
    std::string restoreToken;
    // granted on a remote-desktop session: the input devices the user allowed (the portal's
    // bits: 1 keyboard, 2 pointer); 0 when they left input off.
    std::uint32_t devices = 0;
    // failed: why, for people.
    std::string reason;
};

// A session of the desktop portal on the session bus, through sd-bus: a screen cast
// (org.freedesktop.portal.ScreenCast), or a remote desktop (org.freedesktop.portal.RemoteDesktop),
// which adds input to the screen cast of the monitor it is given. One object, one session at a
// time: start() runs the whole exchange (create, select one monitor and for a remote desktop
// the keyboard and pointer, start, and for a screen cast open the PipeWire remote) and blocks
// its caller until the user has answered the dialog or the deadline has passed; close() ends
// the session, which the desktop also does when this process ends. Not thread-safe: one
// thread at a time uses it.
class PortalSession {
public:
    enum class Kind { screenCast, remoteDesktop };
    // Linux input codes of the pointer's buttons.
    static constexpr std::int32_t buttonLeft = 0x110;

    // Connects to the session bus. Throws PlatformError when there is none.
    explicit PortalSession(Kind kind = Kind::screenCast);
    ~PortalSession();
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    // The interface's version, or nothing when the portal does not offer it.
    std::optional<std::uint32_t> version();

    // `restoreToken` from an earlier session, or "". With `persist` the portal is asked to
    // keep the grant until it is revoked (screen casts from version 4 on, remote desktops
    // from version 2 on; ignored before).
    PortalAnswer start(const std::string& restoreToken, bool persist, std::chrono::seconds deadline);

    // Input on a granted remote-desktop session. Each returns once the portal has taken the
    // event; throws PlatformError when it did not (the session is gone, the bus lost).
    // Positions are logical pixels of the stream `nodeID`'s monitor.
    void pointerMotionAbsolute(std::uint32_t nodeID, double x, double y);
    // `button` a Linux input code (buttonLeft and on).
    void pointerButton(std::int32_t button, bool pressed);
    // Wheel clicks on one axis (0 vertical, 1 horizontal), positive down and right.
    void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);
    // A keysym as xkb numbers it; the desktop picks the key and its level.
    void keyboardKeysym(std::uint32_t keysym, bool pressed);
    // A key by its Linux input code, whatever the layout puts on it.
    void keyboardKeycode(std::int32_t keycode, bool pressed);

    // Whether the session still stands: false once the desktop or the user has closed it.
    bool sessionOpen();
    void close();

    // What a request's answer carried (read by the signal handler).
    struct Response;

private:
    const char* interface() const;
    void notify(const char* method, const std::function<int(sd_bus_message*)>& appendArguments);
    Response request(const char* interface, const char* method, std::chrono::seconds deadline,
                     const std::function<int(sd_bus_message*, const std::string& token)>& appendArguments);
    std::string nextToken();

    Kind kind_;
    sd_bus* bus_ = nullptr;
    std::string sender_; // the bus's unique name, as the portal writes it in request paths
    std::string session_;
    bool sessionClosed_ = false;
    sd_bus_slot* closedSlot_ = nullptr;
    sd_bus_slot* portalGoneSlot_ = nullptr;
    unsigned tokens_ = 0;
};
