#pragma once

#include "platform/DisplayServer.hpp"
#include "platform/InputEvents.hpp"
#include "platform/WindowServer.hpp"
#include "platform/gnome/GnomeScreenCapture.hpp"
#include "platform/gnome/GnomeScreenCast.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandDisplays.hpp"
#include "platform/wayland/WaylandScreencopy.hpp"

#include <memory>

// GNOME on Wayland: the screen through the desktop portal's screen cast, with the user's
// answer in its dialog as the Screen Recording permission. The monitors' places, sizes and
// scales come from the Wayland connection every client has (xdg-output). Input and the
// window list are not served yet: input is refused with a clear error and the list is empty.
class GnomeDisplayServer final : public DisplayServer {
public:
    GnomeDisplayServer();
    ~GnomeDisplayServer() override;

    // The backend, when this is a GNOME session on Wayland (WAYLAND_DISPLAY set, the desktop
    // named GNOME) whose desktop portal offers screen casts. Nothing otherwise.
    static std::unique_ptr<GnomeDisplayServer> ifOffered();

    Displays& displays() override { return displays_; }
    ScreenCaptureFramework& screenCapture() override { return screenCapture_; }
    WindowServer& windowServer() override { return windowServer_; }
    InputEvents& inputEvents() override { return inputEvents_; }
    // The permission is the user's answer, which the capture framework's probe reports: the
    // preflight passes so that the probe can say "not asked yet" apart from "refused".
    bool canCapture() override { return true; }
    bool canPostInput() override { return false; }
    void requestCaptureConsent() override;
    void openCaptureSettings() override;

private:
    // No window list without the shell's help, and no pictures of single windows.
    class NoWindows final : public WindowServer {
    public:
        std::optional<Json> copyWindowInfo(std::uint32_t, std::uint32_t) override { return Json::array(); }
        std::optional<std::string> bundleIdentifier(std::int32_t) override { return std::nullopt; }
        std::optional<Image> createWindowImage(std::uint32_t) override { return std::nullopt; }
    };
    // Refuses every event, so that no answer claims input that never happened.
    class NoInput final : public InputEvents {
    public:
        bool postMouse(MouseEventType, InputPoint, int, std::int64_t, std::optional<EventFlags>) override { refuse(); }
        bool postKey(std::uint16_t, KeyDirection, EventFlags) override { refuse(); }
        bool postText(std::u16string_view, KeyDirection) override { refuse(); }
        std::optional<char32_t> untypable(std::u16string_view) override { return std::nullopt; }
        bool postScroll(std::int32_t, std::int32_t, ScrollPart, std::optional<EventFlags>) override { refuse(); }
        void relinquish() override {}

    private:
        [[noreturn]] static void refuse();
    };

    WaylandScreencopy screencopy_;
    WaylandConnection connection_;
    WaylandDisplays displays_{connection_, screencopy_};
    GnomeScreenCast screenCast_;
    GnomeScreenCapture screenCapture_{displays_, screenCast_};
    NoWindows windowServer_;
    NoInput inputEvents_;
};
