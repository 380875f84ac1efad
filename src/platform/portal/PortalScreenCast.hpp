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

// What the user answered in the desktop's screen-sharing dialog.
struct PortalScreenCastAnswer {
    enum class Outcome { granted, refused, failed };
    Outcome outcome = Outcome::failed;
    // granted: the PipeWire remote (a file descriptor owned by the receiver), the streams,
    // and a token that lets the next session start without a dialog where the portal keeps
    // one ("" otherwise).
    int pipeWireFd = -1;
    std::vector<PortalStream> streams;
    std::string restoreToken;
    // failed: why, for people.
    std::string reason;
};

// A screen-cast session of the desktop portal (org.freedesktop.portal.ScreenCast) on the
// session bus, through sd-bus. One object, one session: start() runs the whole exchange
// (create, select one monitor, start, open the PipeWire remote) and blocks its caller until
// the user has answered the dialog or the deadline has passed; close() ends the session,
// which the desktop also does when this process ends. Not thread-safe: one thread uses it.
class PortalScreenCast {
public:
    // Connects to the session bus. Throws PlatformError when there is none.
    PortalScreenCast();
    ~PortalScreenCast();
    PortalScreenCast(const PortalScreenCast&) = delete;
    PortalScreenCast& operator=(const PortalScreenCast&) = delete;

    // The ScreenCast interface's version, or nothing when the portal does not offer it.
    std::optional<std::uint32_t> version();

    // `restoreToken` from an earlier session, or "". With `persist` the portal is asked to
    // keep the grant until it is revoked (version 4 and later; ignored before).
    PortalScreenCastAnswer start(const std::string& restoreToken, bool persist, std::chrono::seconds deadline);

    // Whether the session still stands: false once the desktop or the user has closed it.
    bool sessionOpen();
    void close();

    // What a request's answer carried (read by the signal handler).
    struct Response;

private:
    Response request(const char* method, std::chrono::seconds deadline,
                     const std::function<int(sd_bus_message*, const std::string& token)>& appendArguments);
    std::string nextToken();

    sd_bus* bus_ = nullptr;
    std::string sender_; // the bus's unique name, as the portal writes it in request paths
    std::string session_;
    bool sessionClosed_ = false;
    sd_bus_slot* closedSlot_ = nullptr;
    unsigned tokens_ = 0;
};
