#include "platform/wayland/WaylandInputEvents.hpp"

#include "base/Text.hpp"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

// Linux input codes of the mouse buttons.
constexpr std::uint32_t buttonLeft = 0x110, buttonRight = 0x111, buttonMiddle = 0x112, buttonLast = 0x117;
// The distance of one wheel click, in the units of wl_pointer.axis.
constexpr double axisPerWheelClick = 15;
// How long clients of a desktop without a keyboard take to take up a new one (they bind it
// when the seat says it has one): measured well under 50 ms on an idle machine.
constexpr std::chrono::milliseconds firstKeyboardSettles{250};

std::uint32_t now()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

struct WaylandInputEvents::Devices {
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;

    ~Devices()
    {
        if (keyboard)
            zwp_virtual_keyboard_v1_destroy(keyboard);
        if (pointer)
            zwlr_virtual_pointer_v1_destroy(pointer);
    }
};

WaylandInputEvents::WaylandInputEvents()
    : connection_({false, [this](WaylandSession& session) { connected(session); }, [this] { devices_.reset(); },
                   false})
{
}

WaylandInputEvents::~WaylandInputEvents()
{
    if (starter_.joinable())
        starter_.join();
    relinquish();
    connection_.disconnect();
}

// A new compositor (or the same one after our connection broke) has new devices, which hold
// nothing; the keyboard needs its keymap before any key.
void WaylandInputEvents::connected(WaylandSession& session)
{
    downCount_.clear();
    virtualKeyDown_.clear();
    locked_ = 0;
    const bool firstKeyboard = !session.seatHasKeyboard();
    auto devices = std::make_unique<Devices>();
    if (session.pointerManager())
        devices->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(session.pointerManager(), nullptr);
    if (session.keyboardManager() && session.seat())
        devices->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(session.keyboardManager(),
                                                                                    session.seat());
    devices_ = std::move(devices);
    if (devices_->keyboard) {
        keymap_ = WaylandKeymap();
        sendKeymap(keymap_);
        // On a desktop that had no keyboard, clients take ours up only once they hear of it;
        // a key sent before would reach none of them.
        if (firstKeyboard) {
            session.roundtrip();
            std::this_thread::sleep_for(firstKeyboardSettles);
        }
    }
}

void WaylandInputEvents::connectInBackground()
{
    starter_ = std::thread([this] {
        try {
            connection_.run([](WaylandSession&) {});
        } catch (const std::exception&) {
            // The first action connects again and reports why it cannot.
        }
    });
}

WaylandInputEvents::Devices& WaylandInputEvents::devices()
{
    if (!devices_)
        throw WaylandConnectionLost();
    return *devices_;
}

void WaylandInputEvents::sendKeymap(const WaylandKeymap& keymap)
{
    // The compositor maps the file and reads it as a string: its size counts the final NUL.
    const std::string& text = keymap.text();
    const int fd = memfd_create("velmar-keymap", MFD_CLOEXEC);
    if (fd < 0)
        throw PlatformError("Wayland", errno, std::string("no memory for a keymap: ") + std::strerror(errno));
    const std::size_t size = text.size() + 1;
    bool written = ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (written) {
        void* data = mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0);
        written = data != MAP_FAILED;
        if (written) {
            std::memcpy(data, text.c_str(), size);
            munmap(data, size);
        }
    }
    if (!written) {
        const int error = errno;
        ::close(fd);
        throw PlatformError("Wayland", error, std::string("no memory for a keymap: ") + std::strerror(error));
    }
    zwp_virtual_keyboard_v1_keymap(devices_->keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(size));
    ::close(fd);
}

void WaylandInputEvents::sendModifiers(std::uint32_t depressed, std::uint32_t locked)
{
    zwp_virtual_keyboard_v1_modifiers(devices_->keyboard, depressed, 0, locked, 0);
}

void WaylandInputEvents::sendKey(std::uint32_t code, bool down)
{
    zwp_virtual_keyboard_v1_key(devices_->keyboard, now(), code,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

// The modifiers of the named keys held down.
std::uint32_t WaylandInputEvents::heldModifiers() const
{
    std::uint32_t mask = 0;
    for (std::uint16_t virtualKey = 0; virtualKey < 128; ++virtualKey) {
        const auto key = WaylandKeymap::namedKey(virtualKey);
        if (!key || !key->modifier)
            continue;
        if (const auto held = downCount_.find(key->code); held != downCount_.end() && held->second > 0)
            mask |= key->modifier;
    }
    return mask;
}

bool WaylandInputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t,
                                   std::optional<EventFlags>)
{
    return connection_.run([&](WaylandSession& session) {
        zwlr_virtual_pointer_v1* pointer = devices().pointer;
        if (!pointer)
            throw waylandError("the compositor offers no virtual pointer (wlr-virtual-pointer)");
        const auto at = session.layout().pointer(position);
        if (!at)
            throw waylandError("the compositor shows no output to point at");
        const std::uint32_t time = now();
        // Every button event goes where the event says, as a moved pointer would.
        zwlr_virtual_pointer_v1_motion_absolute(pointer, time, at->x, at->y, at->xExtent, at->yExtent);
        zwlr_virtual_pointer_v1_frame(pointer);
        const std::uint32_t code = button == 0 ? buttonLeft
            : button == 1                      ? buttonRight
            : button == 2                      ? buttonMiddle
                                               : static_cast<std::uint32_t>(std::clamp<std::int64_t>(
                                                   std::int64_t{buttonLeft} + button, buttonLeft, buttonLast));
        if (const ButtonChange change = buttonChange(type); change != ButtonChange::none) {
            zwlr_virtual_pointer_v1_button(pointer, time, code,
                                           change == ButtonChange::press ? WL_POINTER_BUTTON_STATE_PRESSED
                                                                         : WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
        session.roundtrip();
        return true;
    });
}

bool WaylandInputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags)
{
    return connection_.run([&](WaylandSession& session) {
        if (!devices().keyboard)
            throw waylandError("the compositor offers no virtual keyboard (virtual-keyboard)");
        std::optional<WaylandKeymap::NamedKey> key;
        // The key goes up where it went down.
        if (direction == KeyDirection::up) {
            if (const auto down = virtualKeyDown_.find(virtualKey); down != virtualKeyDown_.end())
                key = WaylandKeymap::namedKey(virtualKey);
        }
        if (!key)
            key = WaylandKeymap::namedKey(virtualKey);
        if (!key)
            return false;
        int& count = downCount_[key->code];
        if (direction == KeyDirection::down) {
            virtualKeyDown_[virtualKey] = key->code;
            if (count++ == 0) {
                sendKey(key->code, true);
                if (key->capsLock)
                    locked_ ^= WaylandKeymap::lockMask;
                if (key->modifier || key->capsLock)
                    sendModifiers(heldModifiers(), locked_);
            }
        } else if (count > 1) {
            --count;
        } else {
            const bool wasDown = count == 1;
            count = 0;
            virtualKeyDown_.erase(virtualKey);
            // A key that is not down still goes up, as on any keyboard; nothing changes.
            sendKey(key->code, false);
            if (wasDown && key->modifier)
                sendModifiers(heldModifiers(), locked_);
        }
        session.roundtrip();
        return true;
    });
}

bool WaylandInputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    // The down event carries the text; the up event has nothing left to do.
    if (direction == KeyDirection::up)
        return true;
    const std::u32string text = codePoints(units);
    return connection_.run([&](WaylandSession& session) {
        if (!devices().keyboard)
            throw waylandError("the compositor offers no virtual keyboard (virtual-keyboard)");
        // Text goes out plain: no modifier held, Caps Lock off, for as long as it takes.
        const std::uint32_t held = heldModifiers();
        const bool plain = held == 0 && locked_ == 0;
        if (!plain)
            sendModifiers(0, 0);
        for (std::size_t next = 0; next < text.size();) {
            // As many characters as one keymap holds beside those it has; a longer text
            // sends several keymaps in turn, each before the keys that need it.
            std::vector<char32_t> missing;
            std::size_t end = next;
            for (; end < text.size(); ++end) {
                const char32_t c = text[end];
                if (keymap_.holdsAll({c}) || std::find(missing.begin(), missing.end(), c) != missing.end())
                    continue;
                if (missing.size() == WaylandKeymap::extraCapacity())
                    break;
                missing.push_back(c);
            }
            if (!missing.empty()) {
                keymap_ = keymap_.holding(missing);
                sendKeymap(keymap_);
            }
            for (; next < end; ++next) {
                std::optional<std::uint32_t> code;
                if (const auto named = WaylandKeymap::keyOfText(text[next]))
                    code = named->code;
                else
                    code = keymap_.codeOf(text[next]);
                if (!code)
                    continue; // a control character, which types nothing
                sendKey(*code, true);
                sendKey(*code, false);
            }
        }
        if (!plain)
            sendModifiers(held, locked_);
        session.roundtrip();
        return true;
    });
}

bool WaylandInputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                    std::optional<EventFlags>)
{
    return connection_.run([&](WaylandSession& session) {
        zwlr_virtual_pointer_v1* pointer = devices().pointer;
        if (!pointer)
            throw waylandError("the compositor offers no virtual pointer (wlr-virtual-pointer)");
        // Positive pixels scroll up (or left); Wayland's axes grow downwards (and rightwards).
        // One click a frame: toolkits read a frame's clicks as one step.
        const auto wheel = [&](std::uint32_t axis, long count) {
            const int step = count > 0 ? -1 : 1;
            for (long i = 0; i < std::labs(count); ++i) {
                const std::uint32_t time = now();
                zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
                zwlr_virtual_pointer_v1_axis_discrete(pointer, time, axis, wl_fixed_from_double(step * axisPerWheelClick),
                                                      step);
                zwlr_virtual_pointer_v1_frame(pointer);
            }
        };
        wheel(WL_POINTER_AXIS_VERTICAL_SCROLL, verticalWheel_.clicks(verticalPixels, part));
        wheel(WL_POINTER_AXIS_HORIZONTAL_SCROLL, horizontalWheel_.clicks(horizontalPixels, part));
        session.roundtrip();
        return true;
    });
}

std::optional<char32_t> WaylandInputEvents::untypable(std::u16string_view)
{
    return std::nullopt;
}

void WaylandInputEvents::releaseEverything(WaylandSession& session)
{
    if (!devices_ || !devices_->keyboard)
        return;
    for (auto& [code, count] : downCount_) {
        if (count > 0)
            sendKey(code, false);
        count = 0;
    }
    virtualKeyDown_.clear();
    sendModifiers(0, locked_);
    // The compositor has applied all of it before the process goes on, and perhaps ends.
    session.roundtrip();
}

void WaylandInputEvents::relinquish()
{
    // A keyboard never made holds nothing.
    if (!connection_.connected())
        return;
    try {
        connection_.run([this](WaylandSession& session) { releaseEverything(session); });
    } catch (const std::exception&) {
        // A compositor that cannot be reached holds nothing of ours any more: our devices
        // went with the connection.
    }
}
