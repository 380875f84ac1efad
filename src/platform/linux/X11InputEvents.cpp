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

// How long a borrowed binding stays untouched after the server has confirmed the last key
// event that used it. Clients fetch the keymap when they handle the MappingNotify that
// precedes those events; a binding changed before their fetch reaches the server is read
// wrong (the character comes out lost or doubled). The confirming round trip makes sure
// the events and the notification have left the server; this covers the clients' own
// delay. Every notification costs a client a keymap reload, so a client fed a notification
// per bound keycode falls behind: at full speed with sixteen new characters a chunk, 40 ms
// was seen to lose characters and 100 ms was not.
constexpr auto bindingSettleTime = std::chrono::milliseconds(100);

// Wheel clicks of buttons 4 to 7 carry no distance; this many pixels make one click.
constexpr double pixelsPerWheelClick = 100;

constexpr xcb_keysym_t noSymbol = 0;
constexpr xcb_keysym_t shiftLeft = 0xffe1;
constexpr xcb_keysym_t capsLock = 0xffe5;

// A borrowed keycode carries two characters: the first level typed alone, the second with
// Shift. A cased letter bound on its own keeps its lower- and upper-case pair.
constexpr int borrowedLevels = 2;

template <typename T>
struct FreeDeleter {
    void operator()(T* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// One level of a borrowed keycode. `lastUsed` is when the server was last known to have
// taken a key event that read this binding; a level never typed since binding has none
// and may be rebound at once.
struct Level {
    xcb_keysym_t sym = noSymbol;
    std::optional<SteadyClock::time_point> lastUsed;
};

struct Borrowed {
    std::array<Level, borrowedLevels> levels;
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
    // The keycodes of the Shift and Lock modifiers.
    std::vector<xcb_keycode_t> shiftKeycodes;
    std::vector<xcb_keycode_t> lockKeycodes;
    std::map<xcb_keycode_t, Borrowed> borrowed;
    // Keycodes whose binding changed since they were last sent to the server.
    std::vector<xcb_keycode_t> pendingBindings;

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
    bool levelTwoReachable() const { return findInLayout(shiftLeft).has_value(); }
    std::optional<Stroke> findInLayout(xcb_keysym_t sym) const;
    std::optional<Stroke> findBorrowed(xcb_keysym_t sym, bool levelOneOnly) const;
    bool rebindable(const Level& level, const std::vector<xcb_keysym_t>& keep, SteadyClock::time_point now) const;
    std::optional<Stroke> bindSomewhere(xcb_keysym_t sym, bool levelOneOnly, const std::vector<xcb_keysym_t>& keep,
                                        bool waitIfNeeded);
    std::optional<xcb_keycode_t> emptyKeycode() const;
    void sendBindings();
    std::optional<Stroke> strokeFor(xcb_keysym_t sym, bool levelOneOnly, const std::vector<xcb_keysym_t>& keep,
                                    bool waitIfNeeded);
    void markUsed(const std::vector<Stroke>& strokes, SteadyClock::time_point when);
    bool roundTrip();
    void fakeInput(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
    void keyDown(xcb_keycode_t keycode);
    void keyUp(xcb_keycode_t keycode);
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
    xcb_connection_t* c = connection.get();
    const int count = maxKeycode - minKeycode + 1;
    auto symsCookie = xcb_get_keyboard_mapping(c, minKeycode, static_cast<std::uint8_t>(count));
    auto modifiersCookie = xcb_get_modifier_mapping(c);
    Reply<xcb_get_keyboard_mapping_reply_t> reply{xcb_get_keyboard_mapping_reply(c, symsCookie, nullptr)};
    Reply<xcb_get_modifier_mapping_reply_t> modifiers{xcb_get_modifier_mapping_reply(c, modifiersCookie, nullptr)};
    if (!reply || !modifiers)
        return false;
    symsPerKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    const xcb_keycode_t* modifierKeys = xcb_get_modifier_mapping_keycodes(modifiers.get());
    const int perModifier = modifiers->keycodes_per_modifier;
    const auto keysOf = [&](int modifier) {
        std::vector<xcb_keycode_t> keys;
        for (int i = 0; i < perModifier; ++i) {
            if (const xcb_keycode_t key = modifierKeys[modifier * perModifier + i])
                keys.push_back(key);
        }
        return keys;
    };
    shiftKeycodes = keysOf(0);
    lockKeycodes = keysOf(1);
    keymapStale = false;
    // Someone else (a layout switch) may have rebound keycodes we borrowed: those are no
    // longer ours to use or to give back.
    for (auto entry = borrowed.begin(); entry != borrowed.end();) {
        bool ours = true;
        for (int level = 0; level < borrowedLevels; ++level)
            ours = ours && symAt(entry->first, level) == entry->second.levels[level].sym;
        if (ours)
            ++entry;
        else
            entry = borrowed.erase(entry);
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

std::optional<Stroke> X11InputEvents::State::findBorrowed(xcb_keysym_t sym, bool levelOneOnly) const
{
    std::optional<Stroke> shifted;
    for (const auto& [keycode, binding] : borrowed) {
        if (binding.levels[0].sym == sym)
            return Stroke{keycode, false};
        if (!levelOneOnly && !shifted && binding.levels[1].sym == sym)
            shifted = Stroke{keycode, true};
    }
    return shifted;
}

// A keycode that no layout key uses and we have not borrowed; keys held down keep theirs.
std::optional<xcb_keycode_t> X11InputEvents::State::emptyKeycode() const
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
    return std::nullopt;
}

// Whether a level may take another character now: not one the text being typed still
// needs, and either never typed since binding or settled since its last use.
bool X11InputEvents::State::rebindable(const Level& level, const std::vector<xcb_keysym_t>& keep,
                                       SteadyClock::time_point now) const
{
    if (level.sym != noSymbol && std::find(keep.begin(), keep.end(), level.sym) != keep.end())
        return false;
    return !level.lastUsed || now >= *level.lastUsed + bindingSettleTime;
}

// Binds `sym` to a borrowed level: a fresh keycode first, then a level never typed, then
// the level used longest ago once it has settled (waiting for that when allowed). The
// binding is sent to the server by sendBindings().
std::optional<Stroke> X11InputEvents::State::bindSomewhere(xcb_keysym_t sym, bool levelOneOnly,
                                                           const std::vector<xcb_keysym_t>& keep, bool waitIfNeeded)
{
    const int levels = levelTwoReachable() ? borrowedLevels : 1;
    const xcb_keysym_t lower = keysymLower(sym);
    const xcb_keysym_t upper = keysymUpper(sym);
    if (const auto keycode = emptyKeycode()) {
        Borrowed binding;
        if (lower != upper && levels == 2) {
            // A lone letter is read as its lower case: bind the pair, reach the upper with Shift.
            binding.levels[0].sym = lower;
            binding.levels[1].sym = upper;
        } else {
            binding.levels[0].sym = sym;
            // Without Shift a lone letter still needs both columns to read as itself.
            if (lower != upper)
                binding.levels[1].sym = sym;
        }
        borrowed[*keycode] = binding;
        pendingBindings.push_back(*keycode);
        const bool shifted = binding.levels[1].sym == sym;
        if (!shifted || !levelOneOnly)
            return Stroke{*keycode, shifted};
        borrowed[*keycode].levels = {Level{sym, {}}, Level{}};
        return Stroke{*keycode, false};
    }
    for (;;) {
        const auto now = SteadyClock::now();
        std::optional<std::pair<xcb_keycode_t, int>> best;
        std::optional<SteadyClock::time_point> bestTime;
        std::optional<SteadyClock::time_point> soonest;
        for (const auto& [keycode, binding] : borrowed) {
            if (downCount[keycode] > 0)
                continue;
            for (int level = 0; level < (levelOneOnly ? 1 : levels); ++level) {
                const Level& candidate = binding.levels[level];
                if (candidate.sym != noSymbol && std::find(keep.begin(), keep.end(), candidate.sym) != keep.end())
                    continue;
                if (!rebindable(candidate, keep, now)) {
                    const auto ready = *candidate.lastUsed + bindingSettleTime;
                    soonest = soonest ? std::min(*soonest, ready) : ready;
                    continue;
                }
                // A level never typed is taken before one that was.
                const auto when = candidate.lastUsed.value_or(SteadyClock::time_point::min());
                if (!best || when < *bestTime) {
                    best = {keycode, level};
                    bestTime = when;
                }
            }
        }
        if (best) {
            Borrowed& binding = borrowed[best->first];
            binding.levels[best->second] = Level{sym, {}};
            pendingBindings.push_back(best->first);
            return Stroke{best->first, best->second == 1};
        }
        if (!soonest || !waitIfNeeded)
            return std::nullopt;
        // Every level is in recent use: what we sent must reach the server first.
        sendBindings();
        flush();
        std::this_thread::sleep_until(*soonest);
    }
}

// Sends the bindings made since the last call, one request per run of adjacent keycodes,
// so that clients reload the keymap once per run rather than once per character.
void X11InputEvents::State::sendBindings()
{
    if (pendingBindings.empty())
        return;
    std::sort(pendingBindings.begin(), pendingBindings.end());
    pendingBindings.erase(std::unique(pendingBindings.begin(), pendingBindings.end()), pendingBindings.end());
    const int width = std::max<int>(symsPerKeycode, borrowedLevels);
    std::vector<xcb_keysym_t> rows;
    bool mirrored = width == symsPerKeycode;
    for (std::size_t first = 0; first < pendingBindings.size();) {
        std::size_t last = first;
        while (last + 1 < pendingBindings.size() && pendingBindings[last + 1] == pendingBindings[last] + 1)
            ++last;
        rows.assign(static_cast<std::size_t>(width) * (last - first + 1), noSymbol);
        for (std::size_t i = first; i <= last; ++i) {
            const xcb_keycode_t keycode = pendingBindings[i];
            const Borrowed& binding = borrowed.at(keycode);
            xcb_keysym_t* row = rows.data() + (i - first) * width;
            for (int level = 0; level < borrowedLevels; ++level)
                row[level] = binding.levels[level].sym;
            if (mirrored) {
                std::copy(row, row + width,
                          keysyms.begin() + static_cast<std::ptrdiff_t>(keycode - minKeycode) * symsPerKeycode);
            }
        }
        xcb_change_keyboard_mapping(connection.get(), static_cast<std::uint8_t>(last - first + 1),
                                    pendingBindings[first], static_cast<std::uint8_t>(width), rows.data());
        first = last + 1;
    }
    if (!mirrored)
        keymapStale = true;
    pendingBindings.clear();
}

std::optional<Stroke> X11InputEvents::State::strokeFor(xcb_keysym_t sym, bool levelOneOnly,
                                                       const std::vector<xcb_keysym_t>& keep, bool waitIfNeeded)
{
    if (auto stroke = findInLayout(sym); stroke && !(levelOneOnly && stroke->shifted))
        return stroke;
    if (auto stroke = findBorrowed(sym, levelOneOnly))
        return stroke;
    return bindSomewhere(sym, levelOneOnly, keep, waitIfNeeded);
}

// Records that the server has taken the key events of these strokes (the caller made a
// round trip after them), which starts their levels' settling.
void X11InputEvents::State::markUsed(const std::vector<Stroke>& strokes, SteadyClock::time_point when)
{
    for (const Stroke& stroke : strokes) {
        if (auto entry = borrowed.find(stroke.keycode); entry != borrowed.end())
            entry->second.levels[stroke.shifted ? 1 : 0].lastUsed = when;
    }
}

// Waits until the server has handled every request sent so far.
bool X11InputEvents::State::roundTrip()
{
    Reply<xcb_get_input_focus_reply_t> focus{
        xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr)};
    return focus != nullptr;
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
}

void X11InputEvents::State::keyUp(xcb_keycode_t keycode)
{
    if (downCount[keycode] > 1) {
        --downCount[keycode];
        return;
    }
    downCount[keycode] = 0;
    fakeInput(XCB_KEY_RELEASE, keycode);
}

bool X11InputEvents::State::flush()
{
    return xcb_flush(connection.get()) > 0 && !xcb_connection_has_error(connection.get());
}

void X11InputEvents::State::giveBack()
{
    if (borrowed.empty() || !connect() || !readKeymap() || !roundTrip())
        return;
    // Bindings typed recently may still be read by clients: let them settle first.
    std::optional<SteadyClock::time_point> lastUse;
    for (const auto& [keycode, binding] : borrowed) {
        for (const Level& level : binding.levels) {
            if (level.lastUsed)
                lastUse = lastUse ? std::max(*lastUse, *level.lastUsed) : *level.lastUsed;
        }
    }
    if (lastUse)
        std::this_thread::sleep_until(*lastUse + bindingSettleTime);
    pendingBindings.clear();
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
    // The server has applied the map before the process goes on to end.
    roundTrip();
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
    // level of its own rather than an added Shift.
    std::optional<Stroke> stroke = s.strokeFor(sym, true, {}, true);
    s.sendBindings();
    if (!stroke) {
        return false;
    }
    if (direction == KeyDirection::down) {
        s.virtualKeyDown[virtualKey] = stroke->keycode;
        s.keyDown(stroke->keycode);
    } else {
        s.keyUp(stroke->keycode);
    }
    if (!s.flush())
        return false;
    // A borrowed level read by this event must settle before it is bound to anything else.
    if (s.isBorrowed(stroke->keycode) && s.roundTrip())
        s.markUsed({*stroke}, SteadyClock::now());
    return true;
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
    xcb_connection_t* c = s.connection.get();
    // What the keyboard holds now: text comes out as given whatever Shift or Caps Lock says.
    auto pointerCookie = xcb_query_pointer(c, s.root);
    auto keysCookie = xcb_query_keymap(c);
    std::vector<xcb_keysym_t> syms;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t ch = units[i];
        if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (const xcb_keysym_t sym = keysymForCharacter(ch); sym != noSymbol)
            syms.push_back(sym);
    }
    Reply<xcb_query_pointer_reply_t> pointer{xcb_query_pointer_reply(c, pointerCookie, nullptr)};
    Reply<xcb_query_keymap_reply_t> keys{xcb_query_keymap_reply(c, keysCookie, nullptr)};
    if (!pointer || !keys)
        return false;

    // Bind every missing character before typing any, all in one go, so that clients reload
    // the keymap once for the chunk. The characters of the chunk keep their levels.
    std::vector<Stroke> strokes;
    strokes.reserve(syms.size());
    bool complete = true;
    for (const xcb_keysym_t sym : syms) {
        const auto stroke = s.strokeFor(sym, false, syms, false);
        if (!stroke) {
            complete = false;
            break;
        }
        strokes.push_back(*stroke);
    }
    s.sendBindings();

    const auto isDown = [&keys](xcb_keycode_t keycode) { return (keys->keys[keycode / 8] >> (keycode % 8)) & 1; };
    std::vector<xcb_keycode_t> heldShifts;
    for (const xcb_keycode_t keycode : s.shiftKeycodes) {
        if (isDown(keycode))
            heldShifts.push_back(keycode);
    }
    std::optional<xcb_keycode_t> capsLockKey;
    if (pointer->mask & XCB_MOD_MASK_LOCK) {
        for (const xcb_keycode_t keycode : s.lockKeycodes) {
            if (s.symAt(keycode, 0) == capsLock && !isDown(keycode))
                capsLockKey = keycode;
        }
    }
    const auto shiftKey = s.findInLayout(shiftLeft);
    const auto tapCapsLock = [&] {
        if (capsLockKey) {
            s.fakeInput(XCB_KEY_PRESS, *capsLockKey);
            s.fakeInput(XCB_KEY_RELEASE, *capsLockKey);
        }
    };
    for (const xcb_keycode_t keycode : heldShifts)
        s.fakeInput(XCB_KEY_RELEASE, keycode);
    tapCapsLock();

    std::vector<Stroke> typed;
    const auto typeOne = [&](const Stroke& stroke) {
        if (stroke.shifted && shiftKey)
            s.fakeInput(XCB_KEY_PRESS, shiftKey->keycode);
        s.keyDown(stroke.keycode);
        s.keyUp(stroke.keycode);
        if (stroke.shifted && shiftKey)
            s.fakeInput(XCB_KEY_RELEASE, shiftKey->keycode);
        typed.push_back(stroke);
    };
    for (const Stroke& stroke : strokes)
        typeOne(stroke);
    // More characters than levels to lend at once: the rest wait for levels to settle, and
    // what was typed so far must count as used before any level is looked at again.
    for (std::size_t i = strokes.size(); !complete && i < syms.size(); ++i) {
        if (!typed.empty()) {
            if (!s.flush() || !s.roundTrip())
                break;
            s.markUsed(typed, SteadyClock::now());
            typed.clear();
        }
        const std::vector<xcb_keysym_t> rest(syms.begin() + static_cast<std::ptrdiff_t>(i), syms.end());
        const auto stroke = s.strokeFor(syms[i], false, rest, true);
        s.sendBindings();
        if (stroke)
            typeOne(*stroke);
    }

    tapCapsLock();
    for (const xcb_keycode_t keycode : heldShifts)
        s.fakeInput(XCB_KEY_PRESS, keycode);
    if (!s.flush())
        return false;
    // The levels typed start settling once the server has taken their events.
    const bool usedBorrowed
        = std::any_of(typed.begin(), typed.end(), [&s](const Stroke& stroke) { return s.isBorrowed(stroke.keycode); });
    if (usedBorrowed && s.roundTrip())
        s.markUsed(typed, SteadyClock::now());
    return true;
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
