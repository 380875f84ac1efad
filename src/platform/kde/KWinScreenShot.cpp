#include "platform/kde/KWinScreenShot.hpp"

#include "base/PlatformError.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstring>
#include <future>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr const char* service = "org.kde.KWin";
constexpr const char* path = "/org/kde/KWin/ScreenShot2";
constexpr const char* interface = "org.kde.KWin.ScreenShot2";
// QImage's formats of 32-bit pixels, which are B, G, R, A (or X) in memory on this machine.
constexpr std::uint32_t formatRGB32 = 4, formatARGB32 = 5, formatARGB32Premultiplied = 6;
constexpr std::uint64_t callMicroseconds = 10'000'000;
constexpr auto pictureDeadline = std::chrono::seconds(10);
constexpr std::int64_t largestPicture = std::int64_t{16384} * 16384;

PlatformError kwinError(const std::string& what)
{
    return PlatformError("KWin", 0, what);
}

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
};

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct Results {
    std::uint32_t width = 0, height = 0, stride = 0, format = 0;
};

int readResults(sd_bus_message* reply, Results& results)
{
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(reply, "s", &key)) < 0)
            return r;
        std::uint32_t* field = std::strcmp(key, "width") == 0 ? &results.width
            : std::strcmp(key, "height") == 0                ? &results.height
            : std::strcmp(key, "stride") == 0                ? &results.stride
            : std::strcmp(key, "format") == 0                ? &results.format
                                                             : nullptr;
        const char* contents = nullptr;
        sd_bus_message_peek_type(reply, nullptr, &contents);
        if (field && contents && std::strcmp(contents, "u") == 0)
            r = sd_bus_message_read(reply, "v", "u", field);
        else
            r = sd_bus_message_skip(reply, "v");
        if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0)
            return r;
    }
    return r < 0 ? r : sd_bus_message_exit_container(reply);
}

// Reads the pipe to its end, at most `limit` bytes, within the deadline.
std::string readAll(int fd, std::size_t limit)
{
    std::string data;
    const auto until = std::chrono::steady_clock::now() + pictureDeadline;
    char buffer[1 << 16];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw kwinError("KWin sent no whole picture within 10 seconds");
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            throw kwinError("the picture's pipe failed");
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return data;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            throw kwinError("the picture's pipe failed");
        }
        if (data.size() + static_cast<std::size_t>(got) > limit)
            throw kwinError("KWin sent a larger picture than it announced");
        data.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

KWinScreenShot::KWinScreenShot() = default;

KWinScreenShot::~KWinScreenShot()
{
    if (bus_)
        sd_bus_flush_close_unref(bus_);
}

sd_bus* KWinScreenShot::bus()
{
    if (bus_ && sd_bus_is_open(bus_) <= 0) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
    if (!bus_) {
        if (const int r = sd_bus_open_user(&bus_); r < 0) {
            bus_ = nullptr;
            throw PlatformError("D-Bus", r, std::string("the session bus cannot be reached: ") + std::strerror(-r));
        }
    }
    return bus_;
}

template <typename Append> Image KWinScreenShot::capture(const char* method, Append&& append)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw kwinError("no pipe for the picture");
    Fd reading{pipe[0]};
    Fd writing{pipe[1]};

    Message call;
    int r = sd_bus_message_new_method_call(bus(), &call.message, service, path, interface, method);
    if (r >= 0)
        r = append(call.message);
    if (r >= 0)
        r = sd_bus_message_append(call.message, "h", writing.fd);
    if (r < 0)
        throw kwinError(std::string("KWin's ") + method + " cannot be asked");
    // The message holds its own copy of the pipe's end, which KWin gets: ours must close for
    // the end of the picture to show. KWin may write before it answers, and a picture is
    // larger than a pipe holds, so the pipe is read while the call waits.
    ::close(writing.fd);
    writing.fd = -1;
    auto pixels = std::async(std::launch::async, [fd = reading.fd] { return readAll(fd, std::size_t{1} << 32); });
    Error error;
    Message reply;
    r = sd_bus_call(bus_, call.message, callMicroseconds, &error.error, &reply.message);
    // The message's copy of the pipe's end goes with it.
    call.message = sd_bus_message_unref(call.message);
    if (r < 0) {
        // The picture will not come; the reader sees the pipe's end once the call is gone.
        try {
            pixels.get();
        } catch (const std::exception&) {
        }
        const std::string name = error.error.name ? error.error.name : "";
        const std::string message = error.error.message ? error.error.message : std::strerror(-r);
        if (name.find("NoAuthorized") != std::string::npos || name.find("AccessDenied") != std::string::npos
            || name == "org.freedesktop.DBus.Error.UnknownObject" || name == "org.freedesktop.DBus.Error.UnknownMethod")
            throw Refused(message);
        throw kwinError("KWin took no screenshot: " + message);
    }
    const std::string data = pixels.get();
    Results results;
    if (readResults(reply.message, results) < 0)
        throw kwinError("KWin's screenshot came without its size");
    if (results.format != formatRGB32 && results.format != formatARGB32 && results.format != formatARGB32Premultiplied)
        throw kwinError("KWin's screenshot is in a pixel format this program does not read (" +
                        std::to_string(results.format) + ")");
    const std::int64_t count = std::int64_t{results.width} * results.height;
    if (results.width == 0 || results.height == 0 || count > largestPicture || results.stride < results.width * 4)
        throw kwinError("KWin's screenshot has no sensible size");
    if (data.size() < std::size_t{results.stride} * (results.height - 1) + results.width * 4)
        throw kwinError("KWin's screenshot ended early");

    Image image;
    image.width = static_cast<int>(results.width);
    image.height = static_cast<int>(results.height);
    image.bytesPerRow = std::size_t{results.width} * 4;
    image.pixels.resize(image.bytesPerRow * results.height);
    for (std::uint32_t y = 0; y < results.height; ++y) {
        std::memcpy(image.pixels.data() + y * image.bytesPerRow, data.data() + std::size_t{y} * results.stride,
                    image.bytesPerRow);
        // The screen has no see-through parts: an unset alpha means opaque.
        if (results.format == formatRGB32)
            for (std::size_t x = 3; x < image.bytesPerRow; x += 4)
                image.pixels[y * image.bytesPerRow + x] = 0xff;
    }
    return image;
}

Image KWinScreenShot::area(std::int64_t x, std::int64_t y, std::int64_t width, std::int64_t height, bool pointer)
{
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
        throw kwinError("no area to capture");
    return capture("CaptureArea", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iiuua{sv}", static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                                     static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 2,
                                     "include-cursor", "b", pointer ? 1 : 0, "native-resolution", "b", 1);
    });
}

Image KWinScreenShot::window(const std::string& handle, bool pointer)
{
    return capture("CaptureWindow", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "sa{sv}", handle.c_str(), 3, "include-cursor", "b", pointer ? 1 : 0,
                                     "include-decoration", "b", 1, "native-resolution", "b", 1);
    });
}
