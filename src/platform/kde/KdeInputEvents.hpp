#pragma once

#include "platform/InputEvents.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandSeatKeymap.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

// Input on KDE Plasma through KWin's fake input device, on a Wayland connection of its own.
// KWin offers the device only to programs that a desktop file trusts; without it every call
// throws PlatformError saying so. Points are KWin's global logical coordinates, the main
// display's corner at the origin. Keys are Linux input codes: a named key by its keysym's
// place on the user's own layout (a US keyboard's place when the layout has none), so the
// desktop keeps the modifier state of the keys held, as on a real keyboard. Text is typed
// with the layout's keys (and the Shift or AltGr they need), the modifiers held lifted
// meanwhile; characters the layout lacks are pasted through the clipboard given, which gets
// back what it held after. Every call returns once KWin has handled its events (a round trip
// proves it). Thread-safe.
class KdeInputEvents final : public InputEvents {
public:
    explicit KdeInputEvents(PasteRoute clipboard);
    ~KdeInputEvents() override;

    // Whether KWin offers this process its fake input (it trusts the program). Never throws.
    bool offered();

    bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                   std::optional<EventFlags> flags) override;
    bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) override;
    bool postText(std::u16string_view units, KeyDirection direction) override;
    std::optional<char32_t> untypable(std::u16string_view units) override;
    bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                    std::optional<EventFlags> flags) override;
    void relinquish() override;

private:
    void connected(WaylandSession& session);
    void key(WaylandSession& session, std::uint32_t code, bool down);

    PasteRoute clipboard_;
    WaylandConnection connection_;
    std::mutex lock_;
    // Keys put down by key events, counted, so that a key pressed twice (a held modifier that
    // a chord presses again) stays down until its last release.
    std::map<std::uint32_t, int> downCount_;
    std::map<std::uint16_t, std::uint32_t> virtualKeyDown_;
    std::set<std::uint32_t> buttonsDown_;
    WheelClicks verticalWheel_;
    WheelClicks horizontalWheel_;
};
