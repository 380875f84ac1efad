#include "platform/linux/X11InputEvents.hpp"

#include "platform/linux/X11Keysyms.hpp"

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a borrowed keycode keeps its binding after its last use before it may be bound
// to another character or given back. Clients fetch the keymap lazily after MappingNotify,
// so a binding changed sooner can reach them before the key event it was meant for, and
// the character comes out lost or doubled.
constexpr auto bindingSettleTime = std::chrono::milliseconds(500);

// Wheel clicks of buttons 4 to 7 carry no distance; this many pixels make one click.
constexpr double pixelsPerWheelClick = 100;

constexpr xcb_keysym_t noSymbol = 0;
constexpr xcb_keysym_t shiftLeft = 0xffe1;

template <typename T>
struct FreeDeleter {
    void operator()(T* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// A spare keycode bound to a character (its lower- and upper-case pair) for a while.
struct Borrowed {
    xcb_keysym_t lower = noSymbol;
    xcb_keysym_t upper = noSymbol;
    SteadyClock::time_point lastUsed;
};

struct Stroke {
    xcb_keycode_t keycode = 0;
    bool shifted = false;
};

} // namespace

struct X11InputEvents::State {
    std::mutex mutex;
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection;
    xcb_window_t root = 0;
    std::uint8_t randrEventBase = 0;
    bool randrPresent = false;

    // The keymap as last read from the server, with our own bindings applied.
    bool keymapStale = true;
    xcb_keycode_t minKeycode = 8;
    xcb_keycode_t maxKeycode = 255;
    std::uint8_t symsPerKeycode = 0;
    std::vector<xcb_keysym_t> keysyms;
    std::map<xcb_keycode_t, Borrowed> borrowed;

    // Keys put down by us, counted, so that a key pressed twice (a held modifier that a
    // chord presses again) stays down until its last release.
    std::array<int, 256> downCount{};
    std::map<std::uint16_t, xcb_keycode_t> virtualKeyDown;

    bool originStale = true;
    std::int32_t originX = 0;
    std::int32_t originY = 0;

    double scrollRemainderVertical = 0;
    double scrollRemainderHorizontal = 0;

    bool connect();
    void drainEvents();
    bool readKeymap();
    void readOrigin();
    xcb_keysym_t symAt(xcb_keycode_t keycode, int column) const;
    bool isBorrowed(xcb_keycode_t keycode) const { return borrowed.contains(keycode); }
    std::optional<Stroke> findInLayout(xcb_keysym_t sym) const;
    std::optional<Stroke> findBorrowed(xcb_keysym_t sym) const;
    std::optional<xcb_keycode_t> spareKeycode(bool waitIfNeeded);
    void bind(xcb_keycode_t keycode, xcb_keysym_t lower, xcb_keysym_t upper);
    std::optional<Stroke> strokeFor(xcb_keysym_t sym, bool waitIfNeeded);
    void fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
    void keyDown(xcb_keycode_t keycode);
    void keyUp(xcb_keycode_t keycode);
    void type(const Stroke& stroke);
    bool flush();
    void giveBack();
};

bool X11InputEvents::State::connect()
{
    if (connection && !xcb_connection_has_error(connection.get()))
        return true;
    connection.reset();
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> opened(xcb_connect(nullptr, &screenNumber));
    if (!opened || xcb_connection_has_error(opened.get()))
        return false;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(opened.get(), &xcb_test_id);
    if (!xtest || !xtest->present)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(opened.get());
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return false;
    root = screens.data->root;
    minKeycode = setup->min_keycode;
    maxKeycode = setup->max_keycode;

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(opened.get(), &xcb_randr_id);
    randrPresent = randr && randr->present;
    if (randrPresent) {
        randrEventBase = randr->first_event;
        xcb_randr_select_input(opened.get(), root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    connection = std::move(opened);
    // A new server (or the same one restarted) knows nothing of what we held or bound.
    keymapStale = true;
    originStale = true;
    borrowed.clear();
    downCount.fill(0);
    virtualKeyDown.clear();
    return true;
}

void X11InputEvents::State::drainEvents()
{
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection.get())}) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY)
            keymapStale = true;
        else if (randrPresent
                 && (type == randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEventBase + XCB_RANDR_NOTIFY))
            originStale = true;
    }
}

bool X11InputEvents::State::readKeymap()
{
    drainEvents();
    if (!keymapStale)
        return true;
    const int count = maxKeycode - minKeycode + 1;
    auto cookie = xcb_get_keyboard_mapping(connection.get(), minKeycode, static_cast<std::uint8_t>(count));
    Reply<xcb_get_keyboard_mapping_reply_t> reply{xcb_get_keyboard_mapping_reply(connection.get(), cookie, nullptr)};
    if (!reply)
        return false;
    symsPerKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    keymapStale = false;
    // Someone else (a layout switch) may have rebound keycodes we borrowed: those are no
    // longer ours to use or to give back.
    for (auto entry = borrowed.begin(); entry != borrowed.end();) {
        if (symAt(entry->first, 0) != entry->second.lower)
            entry = borrowed.erase(entry);
        else
            ++entry;
    }
    return true;
}

void X11InputEvents::State::readOrigin()
{
    drainEvents();
    if (!originStale)
        return;
    originX = 0;
    originY = 0;
    originStale = false;
    if (!randrPresent)
        return;
    xcb_connection_t* c = connection.get();
    Reply<xcb_randr_get_output_primary_reply_t> primary{
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), nullptr)};
    if (!primary || primary->output == XCB_NONE)
        return;
    Reply<xcb_randr_get_output_info_reply_t> output{
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), nullptr)};
    if (!output || output->crtc == XCB_NONE)
        return;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc{
        xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), nullptr)};
    if (!crtc)
        return;
    originX = crtc->x;
    originY = crtc->y;
}

xcb_keysym_t X11InputEvents::State::symAt(xcb_keycode_t keycode, int column) const
{
    if (keycode < minKeycode || keycode > maxKeycode || column >= symsPerKeycode)
        return noSymbol;
    const std::size_t index = static_cast<std::size_t>(keycode - minKeycode) * symsPerKeycode + column;
    return index < keysyms.size() ? keysyms[index] : noSymbol;
}

// The layout's own keys, first group, without and with Shift; higher levels (AltGr) are
// not reached, and such characters are typed through a borrowed keycode instead.
std::optional<Stroke> X11InputEvents::State::findInLayout(xcb_keysym_t sym) const
{
    std::optional<Stroke> shifted;
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
        const auto code = static_cast<xcb_keycode_t>(keycode);
        if (isBorrowed(code))
            continue;
        const xcb_keysym_t first = symAt(code, 0);
        if (first == sym)
            return Stroke{code, false};
        if (shifted || first == noSymbol)
            continue;
        xcb_keysym_t second = symAt(code, 1);
        // One keysym alone on a key stands for its lower- and upper-case pair.
        if (second == noSymbol)
            second = keysymUpper(first);
        if (second == sym)
            shifted = Stroke{code, true};
    }
    return shifted;
}

std::optional<Stroke> X11InputEvents::State::findBorrowed(xcb_keysym_t sym) const
{
    for (const auto& [keycode, binding] : borrowed) {
        if (binding.lower == sym)
            return Stroke{keycode, false};
        if (binding.upper == sym && binding.upper != noSymbol)
            return Stroke{keycode, true};
    }
    return std::nullopt;
}

// A keycode to bind: one that no layout key uses and we have not borrowed, else the
// borrowed one used longest ago once it has settled (waiting for that when allowed).
// Keys held down keep their binding.
std::optional<xcb_keycode_t> X11InputEvents::State::spareKeycode(bool waitIfNeeded)
{
    for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
        const auto code = static_cast<xcb_keycode_t>(keycode);
        if (isBorrowed(code) || downCount[code] > 0)
            continue;
        bool empty = true;
        for (int column = 0; column < symsPerKeycode && empty; ++column)
            empty = symAt(code, column) == noSymbol;
        if (empty)
            return code;
    }
    std::optional<xcb_keycode_t> oldest;
    for (const auto& [keycode, binding] : borrowed) {
        if (downCount[keycode] > 0)
            continue;
        if (!oldest || binding.lastUsed < borrowed.at(*oldest).lastUsed)
            oldest = keycode;
    }
    if (!oldest)
        return std::nullopt;
    const auto settled = borrowed.at(*oldest).lastUsed + bindingSettleTime;
    if (SteadyClock::now() < settled) {
        if (!waitIfNeeded)
            return std::nullopt;
        flush();
        std::this_thread::sleep_until(settled);
    }
    return oldest;
}

void X11InputEvents::State::bind(xcb_keycode_t keycode, xcb_keysym_t lower, xcb_keysym_t upper)
{
    std::vector<xcb_keysym_t> row(std::max<int>(symsPerKeycode, 2), noSymbol);
    row[0] = lower;
    row[1] = upper;
    const auto width = static_cast<std::uint8_t>(row.size());
    xcb_change_keyboard_mapping(connection.get(), 1, keycode, width, row.data());
    if (width == symsPerKeycode) {
        std::copy(row.begin(), row.end(),
                  keysyms.begin() + static_cast<std::ptrdiff_t>(keycode - minKeycode) * symsPerKeycode);
    } else {
        keymapStale = true;
    }
    borrowed[keycode] = Borrowed{lower, upper, SteadyClock::now()};
}

std::optional<Stroke> X11InputEvents::State::strokeFor(xcb_keysym_t sym, bool waitIfNeeded)
{
    if (auto stroke = findInLayout(sym))
        return stroke;
    if (auto stroke = findBorrowed(sym))
        return stroke;
    const auto keycode = spareKeycode(waitIfNeeded);
    if (!keycode)
        return std::nullopt;
    const xcb_keysym_t lower = keysymLower(sym);
    xcb_keysym_t upper = keysymUpper(sym);
    const bool cased = lower != upper;
    // Bound alone, a letter is read as its lower case whatever it is: bind the pair and
    // reach the upper case with Shift (when the layout has no Shift, each case alone).
    const bool haveShift = findInLayout(shiftLeft).has_value();
    if (!cased || !haveShift) {
        bind(*keycode, sym, cased ? sym : noSymbol);
        return Stroke{*keycode, false};
    }
    bind(*keycode, lower, upper);
    return Stroke{*keycode, sym == upper};
}

void X11InputEvents::State::fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y)
{
    xcb_test_fake_input(connection.get(), type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? root : XCB_NONE,
                        x, y, 0);
}

void X11InputEvents::State::keyDown(xcb_keycode_t keycode)
{
    if (downCount[keycode]++ == 0)
        fakeInput(XCB_KEY_PRESS, keycode);
    if (auto entry = borrowed.find(keycode); entry != borrowed.end())
        entry->second.lastUsed = SteadyClock::now();
}

void X11InputEvents::State::keyUp(xcb_keycode_t keycode)
{
    if (downCount[keycode] > 1) {
        --downCount[keycode];
        return;
    }
    downCount[keycode] = 0;
    fakeInput(XCB_KEY_RELEASE, keycode);
    if (auto entry = borrowed.find(keycode); entry != borrowed.end())
        entry->second.lastUsed = SteadyClock::now();
}

void X11InputEvents::State::type(const Stroke& stroke)
{
    std::optional<Stroke> shift;
    if (stroke.shifted)
        shift = findInLayout(shiftLeft);
    if (shift)
        keyDown(shift->keycode);
    keyDown(stroke.keycode);
    keyUp(stroke.keycode);
    if (shift)
        keyUp(shift->keycode);
}

bool X11InputEvents::State::flush()
{
    return xcb_flush(connection.get()) > 0 && !xcb_connection_has_error(connection.get());
}

void X11InputEvents::State::giveBack()
{
    if (borrowed.empty() || !connect() || !readKeymap())
        return;
    SteadyClock::time_point lastUse{};
    for (const auto& [keycode, binding] : borrowed)
        lastUse = std::max(lastUse, binding.lastUsed);
    std::this_thread::sleep_until(lastUse + bindingSettleTime);
    const std::vector<xcb_keysym_t> empty(std::max<int>(symsPerKeycode, 1), noSymbol);
    for (auto entry = borrowed.begin(); entry != borrowed.end();) {
        if (downCount[entry->first] > 0) {
            ++entry;
            continue;
        }
        xcb_change_keyboard_mapping(connection.get(), 1, entry->first, static_cast<std::uint8_t>(empty.size()),
                                    empty.data());
        entry = borrowed.erase(entry);
    }
    keymapStale = true;
    // A round trip, so the server has applied the map before the process goes on to end.
    Reply<xcb_get_input_focus_reply_t> focus{
        xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr)};
}

X11InputEvents::X11InputEvents()
    : state_(std::make_unique<State>())
{
}

X11InputEvents::~X11InputEvents()
{
    std::lock_guard lock(state_->mutex);
    if (state_->connection)
        state_->giveBack();
}

bool X11InputEvents::available()
{
    std::lock_guard lock(state_->mutex);
    return state_->connect();
}

bool X11InputEvents::postMouse(MouseEventType type, InputPoint position, int button, std::int64_t,
                               std::optional<EventFlags>)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (!s.connect())
        return false;
    s.readOrigin();
    const auto coordinate = [](double value, std::int32_t origin) {
        const double pixel = std::round(value) + origin;
        return static_cast<std::int16_t>(std::clamp(pixel, -32768.0, 32767.0));
    };
    const std::int16_t x = coordinate(position.x, s.originX);
    const std::int16_t y = coordinate(position.y, s.originY);
    // X numbers the buttons left 1, middle 2, right 3; further buttons follow the wheel's.
    const std::uint8_t xButton = button == 0 ? 1 : button == 1 ? 3 : button == 2 ? 2 : static_cast<std::uint8_t>(std::clamp(button + 5, 8, 255));
    // Every button event goes where the event says, as a moved pointer would.
    s.fakeInput(XCB_MOTION_NOTIFY, 0, x, y);
    switch (type) {
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
        break;
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown:
        s.fakeInput(XCB_BUTTON_PRESS, xButton);
        break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp:
        s.fakeInput(XCB_BUTTON_RELEASE, xButton);
        break;
    }
    return s.flush();
}

bool X11InputEvents::postKey(std::uint16_t virtualKey, KeyDirection direction, EventFlags)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (!s.connect())
        return false;
    if (direction == KeyDirection::up) {
        // The key goes up where it went down, even if the layout changed meanwhile.
        const auto down = s.virtualKeyDown.find(virtualKey);
        if (down != s.virtualKeyDown.end()) {
            const xcb_keycode_t keycode = down->second;
            if (s.downCount[keycode] <= 1)
                s.virtualKeyDown.erase(down);
            s.keyUp(keycode);
            return s.flush();
        }
    }
    const xcb_keysym_t sym = keysymForVirtualKey(virtualKey);
    if (sym == noSymbol || !s.readKeymap())
        return false;
    // A named key means its unshifted symbol: one found only with Shift gets a borrowed
    // keycode of its own rather than an added Shift.
    std::optional<Stroke> stroke = s.findInLayout(sym);
    if (!stroke || stroke->shifted) {
        stroke = s.findBorrowed(sym);
        if (!stroke || stroke->shifted)
            stroke = s.strokeFor(sym, true);
        if (stroke && stroke->shifted)
            stroke.reset();
    }
    if (!stroke) {
        return false;
    }
    if (direction == KeyDirection::down) {
        s.virtualKeyDown[virtualKey] = stroke->keycode;
        s.keyDown(stroke->keycode);
    } else {
        s.keyUp(stroke->keycode);
    }
    return s.flush();
}

bool X11InputEvents::postText(std::u16string_view units, KeyDirection direction)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (!s.connect())
        return false;
    // The down event carries the text; the up event has nothing left to do.
    if (direction == KeyDirection::up)
        return s.flush();
    if (!s.readKeymap())
        return false;
    std::vector<xcb_keysym_t> syms;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (const xcb_keysym_t sym = keysymForCharacter(c); sym != noSymbol)
            syms.push_back(sym);
    }
    // Bind every missing character before typing any, so that clients reload the keymap
    // once for the chunk rather than once per character.
    for (const xcb_keysym_t sym : syms) {
        if (!s.strokeFor(sym, false))
            break;
    }
    for (const xcb_keysym_t sym : syms) {
        if (const auto stroke = s.strokeFor(sym, true))
            s.type(*stroke);
    }
    return s.flush();
}

bool X11InputEvents::postScroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, ScrollPart part,
                                std::optional<EventFlags>)
{
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (!s.connect())
        return false;
    if (part == ScrollPart::first) {
        s.scrollRemainderVertical = 0;
        s.scrollRemainderHorizontal = 0;
    }
    // Whole clicks, rounded; what is left over counts towards the next event of the scroll.
    const auto clicks = [](double& remainder, std::int32_t pixels) {
        const double total = remainder + pixels;
        const long count = std::lround(total / pixelsPerWheelClick);
        remainder = total - count * pixelsPerWheelClick;
        return count;
    };
    const long vertical = clicks(s.scrollRemainderVertical, verticalPixels);
    const long horizontal = clicks(s.scrollRemainderHorizontal, horizontalPixels);
    const auto press = [&s](std::uint8_t button, long count) {
        for (long i = 0; i < count; ++i) {
            s.fakeInput(XCB_BUTTON_PRESS, button);
            s.fakeInput(XCB_BUTTON_RELEASE, button);
        }
    };
    press(vertical > 0 ? 4 : 5, std::labs(vertical));
    press(horizontal > 0 ? 6 : 7, std::labs(horizontal));
    return s.flush();
}

void X11InputEvents::relinquish()
{
    std::lock_guard lock(state_->mutex);
    state_->giveBack();
}
