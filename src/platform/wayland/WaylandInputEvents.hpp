#pragma once

#include "platform/InputEvents.hpp"
#include "platform/wayland/WaylandConnection.hpp"
#include "platform/wayland/WaylandKeymap.hpp"

#include <map>
#include <memory>
#include <thread>

struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

// Input on a wlroots desktop through a virtual pointer and a virtual keyboard of our own, on
// a Wayland connection of its own. Every call returns once the compositor has handled its
// events (a round trip proves it); when the compositor went away and came back, the call
// connects again and posts once more, and throws PlatformError when that fails too.
//
// Points are placed on the layout of every output, the main display's corner at the origin.
// The keyboard's keymap is ours (WaylandKeymap): named keys as on a US keyboard, Command
// pressing Control, Option Alt; the modifier state follows the modifier keys held, sent as
// the keyboard's state, and Caps Lock toggles it. Text goes out plain, with no modifier,
// through keys of its own. No key repeats. When this process ends its devices go with its
// connection, and the compositor lets go of what they held.
// Thread-safe.
class WaylandInputEvents final : public InputEvents {
public:
    WaylandInputEvents();
    ~WaylandInputEvents() override;
    WaylandInputEvents(const WaylandInputEvents&) = delete;
    WaylandInputEvents& operator=(const WaylandInputEvents&) = delete;

    bool postMouse(MouseEventType type, InputPoint position, int button, std::int64_t clickState,
                   std::optional<EventFlags> flags) override;
    bool postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags flags) override;
    bool postText(std::u16string_view units, KeyDirection direction) override;
    bool postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                    std::optional<EventFlags> flags) override;
    // Every character has a key on this keyboard: the keymap is made for the text.
    std::optional<char32_t> untypable(std::u16string_view units) override;
    void relinquish() override;

    // Connects on a thread of its own, so that the devices exist (and clients know of them)
    // before the first action.
    void connectInBackground();

private:
    struct Devices;
    void connected(WaylandSession& session);
    Devices& devices();
    void sendKeymap(const WaylandKeymap& keymap);
    void sendModifiers(std::uint32_t depressed, std::uint32_t locked);
    void sendKey(std::uint32_t code, bool down);
    std::uint32_t heldModifiers() const;
    void releaseEverything(WaylandSession& session);

    WaylandConnection connection_;
    // Made on the connection's session, and gone before it.
    std::unique_ptr<Devices> devices_;
    WaylandKeymap keymap_;
    // Keys put down by named-key events, counted, so that a key pressed twice (a held
    // modifier that a chord presses again) stays down until its last release.
    std::map<std::uint32_t, int> downCount_;
    std::map<std::uint16_t, std::uint32_t> virtualKeyDown_;
    std::uint32_t locked_ = 0;
    WheelClicks verticalWheel_;
    WheelClicks horizontalWheel_;
    std::thread starter_;
};
