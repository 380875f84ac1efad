#include "platform/gnome/GnomeWindows.hpp"

#include "platform/gnome/GnomeWindowList.hpp"

#include <systemd/sd-bus.h>

#include <cstring>

namespace {

constexpr const char* shellName = "org.gnome.Shell";
constexpr const char* objectPath = "/com/velmar/ComputerUse/Windows";
constexpr const char* interfaceName = "com.velmar.ComputerUse.Windows";
// The shell answers from its main loop, within a frame or two; one that takes longer is
// busy or stuck, and the caller should not wait on it.
constexpr std::uint64_t callMicroseconds = 1'000'000;
constexpr auto noteLifetime = std::chrono::seconds(2);

struct Call {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ~Call()
    {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
};

// The errors of a bus whose shell has no such object or interface: the extension is not
// installed, or not enabled (the shell unexports the object when it is disabled).
bool missingObject(const sd_bus_error& error)
{
    for (const char* name : {SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                             SD_BUS_ERROR_UNKNOWN_PROPERTY}) {
        if (sd_bus_error_has_name(&error, name))
            return true;
    }
    return false;
}

std::string describe(int code, const sd_bus_error& error)
{
    return error.message ? error.message : std::strerror(code < 0 ? -code : code);
}

GnomeWindows::Answer missing()
{
    return {GnomeWindows::Answer::State::missing, {},
            std::string("windows are not listed: GNOME Shell's extension ") + GnomeWindows::extension
                + " is not enabled; enable it with `gnome-extensions enable " + GnomeWindows::extension
                + "`, then log out and in again"};
}

GnomeWindows::Answer failed(const std::string& why)
{
    return {GnomeWindows::Answer::State::failed, {}, "windows are not listed: " + why};
}

} // namespace

GnomeWindows::~GnomeWindows()
{
    sd_bus_flush_close_unref(bus_);
}

GnomeWindows::Answer GnomeWindows::list()
{
    std::lock_guard guard(lock_);
    Answer answer = ask();
    if (answer.state != Answer::State::listed) {
        // The bus may be gone with the session: connect afresh next time.
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
    last_ = Answer{answer.state, {}, answer.reason};
    lastAt_ = std::chrono::steady_clock::now();
    return answer;
}

std::optional<std::string> GnomeWindows::note()
{
    std::optional<Answer> answer;
    {
        std::lock_guard guard(lock_);
        if (last_ && std::chrono::steady_clock::now() - lastAt_ < noteLifetime)
            answer = last_;
    }
    if (!answer)
        answer = list();
    if (answer->state == Answer::State::listed)
        return std::nullopt;
    return answer->reason;
}

GnomeWindows::Answer GnomeWindows::ask()
{
    if (!bus_) {
        if (const int r = sd_bus_open_user(&bus_); r < 0) {
            bus_ = nullptr;
            return failed(std::string("no session bus: ") + std::strerror(-r));
        }
        sd_bus_set_method_call_timeout(bus_, callMicroseconds);
    }
    // The protocol's version first: a list of another version means something else (an
    // extension left from another release of the program).
    std::uint32_t version = 0;
    {
        Call call;
        const int r = sd_bus_get_property_trivial(bus_, shellName, objectPath, interfaceName, "Version", &call.error,
                                                  'u', &version);
        if (r < 0 && missingObject(call.error))
            return missing();
        if (r < 0)
            return failed("GNOME Shell did not answer: " + describe(r, call.error));
    }
    if (version != gnomeWindowsProtocol)
        return failed("the shell extension " + std::string(extension) + " speaks version " + std::to_string(version)
                      + " of its protocol, and this program reads version " + std::to_string(gnomeWindowsProtocol)
                      + ": install the extension of this program's package");
    Call call;
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &message, shellName, objectPath, interfaceName, "List");
    if (r >= 0)
        r = sd_bus_call(bus_, message, callMicroseconds, &call.error, &call.reply);
    sd_bus_message_unref(message);
    if (r < 0 && missingObject(call.error))
        return missing();
    if (r < 0)
        return failed("GNOME Shell did not list them: " + describe(r, call.error));
    const char* text = nullptr;
    if ((r = sd_bus_message_read(call.reply, "s", &text)) < 0)
        return failed("GNOME Shell's answer is not a string: " + describe(r, call.error));
    try {
        return {Answer::State::listed, gnomeWindowsFromList(text), {}};
    } catch (const std::exception& error) {
        return failed(error.what());
    }
}
