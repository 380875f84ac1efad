#include "platform/portal/PortalSession.hpp"

#include "base/PlatformError.hpp"

#include <systemd/sd-bus.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCastInterface = "org.freedesktop.portal.ScreenCast";
constexpr const char* remoteDesktopInterface = "org.freedesktop.portal.RemoteDesktop";
constexpr std::uint32_t sourceMonitor = 1;
constexpr std::uint32_t keyboardAndPointer = 1 | 2;
constexpr std::uint32_t cursorEmbedded = 2;
constexpr std::uint32_t persistUntilRevoked = 2;
// A portal call that needs no user answers within this.
constexpr std::uint64_t callMicroseconds = 10'000'000;

PlatformError busError(const std::string& what, int code, const sd_bus_error* error = nullptr)
{
    std::string text = what + ": ";
    text += error && error->message ? error->message : std::strerror(code < 0 ? -code : code);
    return PlatformError("D-Bus", code, text);
}

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
};

} // namespace

// What a Request's Response signal carried, read out of its results.
struct PortalSession::Response {
    bool arrived = false;
    std::uint32_t code = 2;
    std::string sessionHandle;
    std::string restoreToken;
    std::vector<PortalStream> streams;
    std::uint32_t devices = 0;
};

namespace {

// Reads the streams, a(ua{sv}), inside a variant.
int readStreams(sd_bus_message* message, std::vector<PortalStream>& streams)
{
    int r = sd_bus_message_enter_container(message, 'a', "(ua{sv})");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
        PortalStream stream;
        if ((r = sd_bus_message_read(message, "u", &stream.nodeID)) < 0)
            return r;
        if ((r = sd_bus_message_enter_container(message, 'a', "{sv}")) < 0)
            return r;
        while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
            const char* key = nullptr;
            if ((r = sd_bus_message_read(message, "s", &key)) < 0)
                return r;
            if (std::strcmp(key, "position") == 0)
                r = sd_bus_message_read(message, "v", "(ii)", &stream.x, &stream.y);
            else if (std::strcmp(key, "size") == 0)
                r = sd_bus_message_read(message, "v", "(ii)", &stream.width, &stream.height);
            else
                r = sd_bus_message_skip(message, "v");
            if (r < 0 || (r = sd_bus_message_exit_container(message)) < 0)
                return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(message)) < 0 || (r = sd_bus_message_exit_container(message)) < 0)
            return r;
        streams.push_back(stream);
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(message);
}

int onResponse(sd_bus_message* message, void* userdata, sd_bus_error*)
{
    auto& response = *static_cast<PortalSession::Response*>(userdata);
    response.arrived = true;
    int r = sd_bus_message_read(message, "u", &response.code);
    if (r < 0 || (r = sd_bus_message_enter_container(message, 'a', "{sv}")) < 0)
        return 0;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0)
            return 0;
        const char* text = nullptr;
        if (std::strcmp(key, "session_handle") == 0) {
            // Version 1 to 4 portals send a string, later ones an object path.
            const char* contents = nullptr;
            sd_bus_message_peek_type(message, nullptr, &contents);
            r = sd_bus_message_read(message, "v", contents && contents[0] == 'o' ? "o" : "s", &text);
            if (r >= 0 && text)
                response.sessionHandle = text;
        } else if (std::strcmp(key, "restore_token") == 0) {
            r = sd_bus_message_read(message, "v", "s", &text);
            if (r >= 0 && text)
                response.restoreToken = text;
        } else if (std::strcmp(key, "devices") == 0) {
            r = sd_bus_message_read(message, "v", "u", &response.devices);
        } else if (std::strcmp(key, "streams") == 0) {
            if ((r = sd_bus_message_enter_container(message, 'v', "a(ua{sv})")) >= 0) {
                r = readStreams(message, response.streams);
                if (r >= 0)
                    r = sd_bus_message_exit_container(message);
            }
        } else {
            r = sd_bus_message_skip(message, "v");
        }
        if (r < 0 || sd_bus_message_exit_container(message) < 0)
            return 0;
    }
    return 0;
}

int onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*)
{
    *static_cast<bool*>(userdata) = true;
    return 0;
}

} // namespace

PortalSession::PortalSession(Kind kind) : kind_(kind)
{
    if (const int r = sd_bus_open_user(&bus_); r < 0)
        throw busError("the session bus cannot be reached", r);
    const char* unique = nullptr;
    if (const int r = sd_bus_get_unique_name(bus_, &unique); r < 0) {
        sd_bus_flush_close_unref(bus_);
        throw busError("the session bus gave no name", r);
    }
    // ":1.42" appears in request paths as "1_42".
    sender_ = unique + 1;
    for (char& c : sender_)
        if (c == '.')
            c = '_';
}

PortalSession::~PortalSession()
{
    close();
    sd_bus_flush_close_unref(bus_);
}

std::optional<std::uint32_t> PortalSession::version()
{
    Error error;
    std::uint32_t value = 0;
    if (sd_bus_get_property_trivial(bus_, portalName, portalPath, interface(), "version", &error.error, 'u', &value)
        < 0)
        return std::nullopt;
    return value;
}

const char* PortalSession::interface() const
{
    return kind_ == Kind::screenCast ? screenCastInterface : remoteDesktopInterface;
}

std::string PortalSession::nextToken()
{
    return "velmar" + std::to_string(getpid()) + "_" + std::to_string(++tokens_);
}

PortalSession::Response PortalSession::request(
    const char* interface, const char* method, std::chrono::seconds deadline,
    const std::function<int(sd_bus_message*, const std::string& token)>& appendArguments)
{
    // Listen before asking: the answer may come before the call returns.
    const std::string token = nextToken();
    const std::string requestPath = "/org/freedesktop/portal/desktop/request/" + sender_ + "/" + token;
    Response response;
    sd_bus_slot* slot = nullptr;
    if (const int r = sd_bus_match_signal(bus_, &slot, portalName, requestPath.c_str(),
                                          "org.freedesktop.portal.Request", "Response", onResponse, &response);
        r < 0)
        throw busError("the portal's answer cannot be awaited", r);
    struct SlotGuard {
        sd_bus_slot* slot;
        ~SlotGuard() { sd_bus_slot_unref(slot); }
    } guard{slot};

    Message call;
    int r = sd_bus_message_new_method_call(bus_, &call.message, portalName, portalPath, interface, method);
    if (r >= 0)
        r = appendArguments(call.message, token);
    if (r < 0)
        throw busError(std::string("the portal's ") + method + " cannot be asked", r);
    Error error;
    Message reply;
    if ((r = sd_bus_call(bus_, call.message, callMicroseconds, &error.error, &reply.message)) < 0)
        throw busError(std::string("the desktop portal refused ") + method, r, &error.error);

    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!response.arrived) {
        if ((r = sd_bus_process(bus_, nullptr)) < 0)
            throw busError("the session bus was lost", r);
        if (r > 0)
            continue;
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            // The dialog stays unanswered: take it away, so that it cannot grant later what
            // nobody waits for any more.
            const std::string path = requestPath;
            sd_bus_call_method(bus_, portalName, path.c_str(), "org.freedesktop.portal.Request", "Close", nullptr,
                               nullptr, "");
            return response;
        }
        if ((r = sd_bus_wait(bus_, std::chrono::duration_cast<std::chrono::microseconds>(left).count())) < 0)
            throw busError("the session bus was lost", r);
    }
    return response;
}

PortalAnswer PortalSession::start(const std::string& restoreToken, bool persist,
                                               std::chrono::seconds deadline)
{
    close();
    PortalAnswer answer;
    const auto failed = [&](const std::string& reason) {
        answer.outcome = PortalAnswer::Outcome::failed;
        answer.reason = reason;
        return answer;
    };
    const std::uint32_t portalVersion = version().value_or(0);
    if (portalVersion == 0)
        return failed(kind_ == Kind::screenCast ? "the desktop portal offers no screen casts"
                                                : "the desktop portal offers no remote desktop");
    const bool remote = kind_ == Kind::remoteDesktop;

    Response created = request(interface(), "CreateSession", std::chrono::seconds(10), [&](sd_bus_message* m, const std::string& token) {
        const std::string sessionToken = token + "s";
        return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(), "session_handle_token", "s",
                                     sessionToken.c_str());
    });
    if (!created.arrived || created.code != 0 || created.sessionHandle.empty())
        return failed("the desktop portal made no session");
    session_ = created.sessionHandle;
    sessionClosed_ = false;
    sd_bus_match_signal(bus_, &closedSlot_, portalName, session_.c_str(), "org.freedesktop.portal.Session", "Closed",
                        onSessionClosed, &sessionClosed_);
    // A portal that goes away takes its sessions with it, and says nothing of them.
    sd_bus_add_match(bus_, &portalGoneSlot_,
                     "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                     "member='NameOwnerChanged',arg0='org.freedesktop.portal.Desktop'",
                     onSessionClosed, &sessionClosed_);

    if (remote) {
        // Version 2 and later keep a grant of input as screen casts do from version 4.
        const bool keepInput = persist && portalVersion >= 2;
        Response devices = request(remoteDesktopInterface, "SelectDevices", std::chrono::seconds(10),
                                   [&](sd_bus_message* m, const std::string& token) {
                                       int r = sd_bus_message_append(m, "o", session_.c_str());
                                       if (r >= 0)
                                           r = sd_bus_message_open_container(m, 'a', "{sv}");
                                       if (r >= 0)
                                           r = sd_bus_message_append(m, "{sv}{sv}", "handle_token", "s", token.c_str(),
                                                                     "types", "u", keyboardAndPointer);
                                       if (r >= 0 && keepInput) {
                                           r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", persistUntilRevoked);
                                           if (r >= 0 && !restoreToken.empty())
                                               r = sd_bus_message_append(m, "{sv}", "restore_token", "s",
                                                                         restoreToken.c_str());
                                       }
                                       if (r >= 0)
                                           r = sd_bus_message_close_container(m);
                                       return r;
                                   });
        if (!devices.arrived || devices.code != 0) {
            close();
            return failed("the desktop portal took no choice of input devices");
        }
    }

    // A remote desktop's grant is kept through its devices, above, not its screens.
    const bool keep = persist && !remote && portalVersion >= 4;
    Response selected = request(screenCastInterface, "SelectSources", std::chrono::seconds(10), [&](sd_bus_message* m, const std::string& token) {
        int r = sd_bus_message_append(m, "o", session_.c_str());
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0)
            r = sd_bus_message_append(m, "{sv}{sv}{sv}{sv}", "handle_token", "s", token.c_str(), "types", "u",
                                      sourceMonitor, "multiple", "b", 0, "cursor_mode", "u", cursorEmbedded);
        if (r >= 0 && keep) {
            r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", persistUntilRevoked);
            if (r >= 0 && !restoreToken.empty())
                r = sd_bus_message_append(m, "{sv}", "restore_token", "s", restoreToken.c_str());
        }
        if (r >= 0)
            r = sd_bus_message_close_container(m);
        return r;
    });
    if (!selected.arrived || selected.code != 0) {
        close();
        return failed("the desktop portal took no choice of screen");
    }

    Response started = request(interface(), "Start", deadline, [&](sd_bus_message* m, const std::string& token) {
        return sd_bus_message_append(m, "osa{sv}", session_.c_str(), "", 1, "handle_token", "s", token.c_str());
    });
    if (!started.arrived) {
        close();
        return failed(remote ? "nobody answered the remote-desktop dialog" : "nobody answered the screen-sharing dialog");
    }
    if (started.code == 1) {
        close();
        answer.outcome = PortalAnswer::Outcome::refused;
        return answer;
    }
    if (started.code != 0 || started.streams.empty()) {
        close();
        return failed("the desktop portal ended the session");
    }
    if (remote) {
        // Input needs no PipeWire remote: the stream only names the monitor that pointer
        // positions are on.
        answer.outcome = PortalAnswer::Outcome::granted;
        answer.streams = std::move(started.streams);
        answer.devices = started.devices;
        answer.restoreToken = std::move(started.restoreToken);
        return answer;
    }

    Message call;
    Message reply;
    Error error;
    int r = sd_bus_message_new_method_call(bus_, &call.message, portalName, portalPath, screenCastInterface,
                                           "OpenPipeWireRemote");
    if (r >= 0)
        r = sd_bus_message_append(call.message, "oa{sv}", session_.c_str(), 0);
    if (r >= 0)
        r = sd_bus_call(bus_, call.message, callMicroseconds, &error.error, &reply.message);
    int fd = -1;
    if (r >= 0)
        r = sd_bus_message_read(reply.message, "h", &fd);
    if (r < 0) {
        close();
        return failed(busError("the desktop portal gave no PipeWire remote", r, &error.error).description);
    }
    // The descriptor belongs to the reply, which goes away here.
    answer.pipeWireFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    answer.outcome = PortalAnswer::Outcome::granted;
    answer.streams = std::move(started.streams);
    answer.restoreToken = std::move(started.restoreToken);
    return answer;
}

void PortalSession::notify(const char* method, const std::function<int(sd_bus_message*)>& appendArguments)
{
    if (session_.empty() || sessionClosed_)
        throw PlatformError("D-Bus", 0, "the remote-desktop session has ended");
    Message call;
    int r = sd_bus_message_new_method_call(bus_, &call.message, portalName, portalPath, remoteDesktopInterface, method);
    if (r >= 0)
        r = sd_bus_message_append(call.message, "oa{sv}", session_.c_str(), 0);
    if (r >= 0)
        r = appendArguments(call.message);
    if (r < 0)
        throw busError(std::string("the portal's ") + method + " cannot be asked", r);
    Error error;
    Message reply;
    if ((r = sd_bus_call(bus_, call.message, callMicroseconds, &error.error, &reply.message)) < 0) {
        // The portal does not refuse events of a session it keeps: the session is over (the
        // portal restarted and forgot it, or it is gone).
        sessionClosed_ = true;
        throw busError(std::string("the desktop portal refused ") + method, r, &error.error);
    }
}

void PortalSession::pointerMotionAbsolute(std::uint32_t nodeID, double x, double y)
{
    notify("NotifyPointerMotionAbsolute",
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "udd", nodeID, x, y); });
}

void PortalSession::pointerButton(std::int32_t button, bool pressed)
{
    notify("NotifyPointerButton", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iu", button, static_cast<std::uint32_t>(pressed ? 1 : 0));
    });
}

void PortalSession::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps)
{
    notify("NotifyPointerAxisDiscrete", [&](sd_bus_message* m) { return sd_bus_message_append(m, "ui", axis, steps); });
}

void PortalSession::keyboardKeysym(std::uint32_t keysym, bool pressed)
{
    notify("NotifyKeyboardKeysym", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iu", static_cast<std::int32_t>(keysym), static_cast<std::uint32_t>(pressed ? 1 : 0));
    });
}

void PortalSession::keyboardKeycode(std::int32_t keycode, bool pressed)
{
    notify("NotifyKeyboardKeycode", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iu", keycode, static_cast<std::uint32_t>(pressed ? 1 : 0));
    });
}

bool PortalSession::sessionOpen()
{
    if (session_.empty())
        return false;
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    return !sessionClosed_;
}

void PortalSession::close()
{
    if (closedSlot_)
        closedSlot_ = sd_bus_slot_unref(closedSlot_);
    if (portalGoneSlot_)
        portalGoneSlot_ = sd_bus_slot_unref(portalGoneSlot_);
    if (session_.empty())
        return;
    if (!sessionClosed_)
        sd_bus_call_method(bus_, portalName, session_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                           nullptr, "");
    session_.clear();
}
