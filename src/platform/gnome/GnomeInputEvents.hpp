#pragma once

#include "platform/InputEvents.hpp"
#include "platform/gnome/GnomeRemoteDesktop.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// Input on GNOME through the remote-desktop session the user allowed: the pointer placed on
// the main monitor's stream, its buttons and wheel, and keys named by keysym, for which the
// desktop picks the key and level of the user's own layout (and the Shift it needs). The
// desktop holds the modifier state: modifiers held here apply to later keys as on a real
// keyboard, except to text, which goes out with them lifted. The desktop types no keysym its
// layout lacks (and does not say so), so such characters are pasted through the clipboard
// (which gets back what it held after); without a clipboard they are refused before anything
// is typed. Without the user's consent every call throws PlatformError saying so.
// Thread-safe.
class GnomeInputEvents final : public InputEvents {
public:
    // `layoutKeysyms` tells the keysyms the user's layout types now; nothing when unknown,
    // and then every character is tried.
    GnomeInputEvents(GnomeRemoteDesktop& remoteDesktop,
                     std::function<std::optional<std::set<std::uint32_t>>()> layoutKeysyms, PasteRoute clipboard);

    bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                   std::optional<EventFlags> flags) override;
    bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) override;
    bool postText(std::u16string_view units, KeyDirection direction) override;
    std::optional<char32_t> untypable(std::u16string_view units) override;
    bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                    std::optional<EventFlags> flags) override;
    void relinquish() override;

private:
    GnomeRemoteDesktop& remoteDesktop_;
    std::function<std::optional<std::set<std::uint32_t>>()> layoutKeysyms_;
    PasteRoute clipboard_;
    std::mutex lock_;
    // Keysyms put down by key events, counted, so that a key pressed twice (a held modifier
    // that a chord presses again) stays down until its last release.
    std::map<std::uint32_t, int> downCount_;
    std::set<std::uint32_t> buttonsDown_;
    WheelClicks verticalWheel_;
    WheelClicks horizontalWheel_;
};
