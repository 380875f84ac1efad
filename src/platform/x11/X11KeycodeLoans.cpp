#include "platform/x11/X11KeycodeLoans.hpp"

#include "platform/keysyms/Keysyms.hpp"

#include <algorithm>
#include <thread>

namespace {

// How long a borrowed binding stays untouched after the server has confirmed the last key
// event that used it. Clients fetch the keymap when they handle the MappingNotify that
// precedes those events; a binding changed before their fetch reaches the server is read
// wrong (the character comes out lost or doubled). The confirming round trip makes sure
// the events and the notification have left the server; this covers the clients' own
// delay. Every notification costs a client a keymap reload, so a client fed a notification
// per bound keycode falls behind: at full speed with sixteen new characters a chunk, 40 ms
// was seen to lose characters on an idle machine and 100 ms on a loaded one (two cores,
// load 8: the test client read bindings made more than 130 ms after the event); 250 ms
// did not. Only text with more distinct missing characters than levels to lend waits.
constexpr auto settleTime = std::chrono::milliseconds(250);

constexpr xcb_keysym_t noSymbol = 0;

} // namespace

void X11KeycodeLoans::clear()
{
    loans_.clear();
    borrowed_.reset();
    pending_.clear();
}

void X11KeycodeLoans::forgetRebound()
{
    for (auto entry = loans_.begin(); entry != loans_.end();) {
        if (keymap_.symbol(entry->first, 0, 0) == entry->second[0].sym) {
            ++entry;
            continue;
        }
        borrowed_.reset(entry->first);
        std::erase(pending_, entry->first);
        entry = loans_.erase(entry);
    }
}

std::optional<X11Stroke> X11KeycodeLoans::find(xcb_keysym_t sym, bool levelOneOnly) const
{
    std::optional<X11Stroke> shifted;
    for (const auto& [keycode, loan] : loans_) {
        if (loan[0].sym == sym)
            return X11Stroke{keycode, false};
        if (!levelOneOnly && !shifted && loan[1].sym == sym)
            shifted = X11Stroke{keycode, true};
    }
    return shifted;
}

// A keycode that no layout key uses and that is not lent yet; keys held down keep theirs.
std::optional<xcb_keycode_t> X11KeycodeLoans::emptyKeycode(const std::bitset<256>& held) const
{
    for (int keycode = keymap_.maxKeycode(); keycode >= keymap_.minKeycode(); --keycode) {
        const auto code = static_cast<xcb_keycode_t>(keycode);
        if (!borrowed_[code] && !held[code] && keymap_.isEmpty(code))
            return code;
    }
    return std::nullopt;
}

void X11KeycodeLoans::lend(xcb_keycode_t keycode, const Loan& loan)
{
    loans_[keycode] = loan;
    borrowed_.set(keycode);
    pending_.push_back(keycode);
}

X11KeycodeLoans::Binding X11KeycodeLoans::bind(xcb_keysym_t sym, bool levelOneOnly, bool shiftAvailable,
                                               const std::vector<xcb_keysym_t>& keep, const std::bitset<256>& held)
{
    const int usable = shiftAvailable && !levelOneOnly ? levels : 1;
    if (const auto keycode = emptyKeycode(held)) {
        const xcb_keysym_t lower = keysymLower(sym);
        const xcb_keysym_t upper = keysymUpper(sym);
        Loan loan;
        if (lower != upper && usable == levels) {
            // A lone letter is read as its lower case: bind the pair, reach the upper with Shift.
            loan[0].sym = lower;
            loan[1].sym = upper;
        } else {
            loan[0].sym = sym;
            // Without Shift a lone letter still needs both columns to read as itself.
            if (lower != upper)
                loan[1].sym = sym;
        }
        lend(*keycode, loan);
        return {X11Stroke{*keycode, loan[0].sym != sym}, std::nullopt};
    }
    const auto now = Clock::now();
    std::optional<std::pair<xcb_keycode_t, int>> best;
    Clock::time_point bestTime{};
    std::optional<Clock::time_point> soonest;
    for (const auto& [keycode, loan] : loans_) {
        if (held[keycode])
            continue;
        for (int level = 0; level < usable; ++level) {
            const Level& candidate = loan[static_cast<std::size_t>(level)];
            if (candidate.sym != noSymbol && std::find(keep.begin(), keep.end(), candidate.sym) != keep.end())
                continue;
            if (candidate.lastUsed && now < *candidate.lastUsed + settleTime) {
                const auto ready = *candidate.lastUsed + settleTime;
                soonest = soonest ? std::min(*soonest, ready) : ready;
                continue;
            }
            // A level never typed is taken before one that was.
            const auto when = candidate.lastUsed.value_or(Clock::time_point::min());
            if (!best || when < bestTime) {
                best = {keycode, level};
                bestTime = when;
            }
        }
    }
    if (!best)
        return {std::nullopt, soonest};
    Loan loan = loans_[best->first];
    loan[static_cast<std::size_t>(best->second)] = Level{sym, {}};
    lend(best->first, loan);
    return {X11Stroke{best->first, best->second == 1}, std::nullopt};
}

bool X11KeycodeLoans::canLend(const std::bitset<256>& held) const
{
    if (emptyKeycode(held))
        return true;
    return std::any_of(loans_.begin(), loans_.end(), [&held](const auto& entry) { return !held[entry.first]; });
}

void X11KeycodeLoans::sendRow(xcb_connection_t* connection, xcb_keycode_t first, const std::vector<xcb_keysym_t>& rows,
                              int count)
{
    xcb_change_keyboard_mapping(connection, static_cast<std::uint8_t>(count), first,
                                static_cast<std::uint8_t>(keymap_.coreWidth()), rows.data());
}

void X11KeycodeLoans::send(xcb_connection_t* connection)
{
    if (pending_.empty())
        return;
    std::sort(pending_.begin(), pending_.end());
    pending_.erase(std::unique(pending_.begin(), pending_.end()), pending_.end());
    const int width = keymap_.coreWidth();
    std::vector<xcb_keysym_t> rows;
    for (std::size_t first = 0; first < pending_.size();) {
        std::size_t last = first;
        while (last + 1 < pending_.size() && pending_[last + 1] == pending_[last] + 1)
            ++last;
        rows.assign(static_cast<std::size_t>(width) * (last - first + 1), noSymbol);
        for (std::size_t i = first; i <= last; ++i) {
            const Loan& loan = loans_.at(pending_[i]);
            xcb_keysym_t* row = rows.data() + (i - first) * static_cast<std::size_t>(width);
            for (int level = 0; level < levels; ++level)
                row[level] = loan[static_cast<std::size_t>(level)].sym;
            keymap_.bind(pending_[i], {row[0], row[1]});
        }
        sendRow(connection, pending_[first], rows, static_cast<int>(last - first + 1));
        first = last + 1;
    }
    pending_.clear();
}

void X11KeycodeLoans::markUsed(const std::vector<X11Stroke>& strokes, Clock::time_point when)
{
    for (const X11Stroke& stroke : strokes) {
        if (auto entry = loans_.find(stroke.keycode); entry != loans_.end())
            entry->second[stroke.shifted ? 1 : 0].lastUsed = when;
    }
}

void X11KeycodeLoans::giveBack(xcb_connection_t* connection, const std::bitset<256>& held)
{
    // Bindings typed recently may still be read by clients: let them settle first.
    std::optional<Clock::time_point> lastUse;
    for (const auto& [keycode, loan] : loans_) {
        for (const Level& level : loan) {
            if (level.lastUsed)
                lastUse = lastUse ? std::max(*lastUse, *level.lastUsed) : *level.lastUsed;
        }
    }
    if (lastUse)
        std::this_thread::sleep_until(*lastUse + settleTime);
    pending_.clear();
    const std::vector<xcb_keysym_t> empty(static_cast<std::size_t>(keymap_.coreWidth()), noSymbol);
    for (auto entry = loans_.begin(); entry != loans_.end();) {
        if (held[entry->first]) {
            ++entry;
            continue;
        }
        sendRow(connection, entry->first, empty, 1);
        keymap_.bind(entry->first, {});
        borrowed_.reset(entry->first);
        entry = loans_.erase(entry);
    }
}
