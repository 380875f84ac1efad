#include "platform/x11/X11InputLedger.hpp"

#include "platform/x11/X11Keymap.hpp"

#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view prefix = "_VELMAR_COMPUTER_USE_INPUT_";
constexpr int wordsPerEntry = 4;
// More entries than keycodes and held keys together is no ledger of ours.
constexpr std::uint32_t largestLedger = 2 * 256 * wordsPerEntry;

// The window named in a ledger's name: PREFIX, eight hex digits, then what makes it unique.
std::optional<xcb_window_t> ownerOf(std::string_view name)
{
    if (!name.starts_with(prefix) || name.size() <= prefix.size() + 8 || name[prefix.size() + 8] != '_')
        return std::nullopt;
    xcb_window_t window = 0;
    for (const char c : name.substr(prefix.size(), 8)) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return std::nullopt;
        window = window * 16 + static_cast<xcb_window_t>(digit);
    }
    return window;
}

} // namespace

void X11InputLedger::open(X11Session& session)
{
    xcb_connection_t* c = session.connection;
    root_ = session.root;
    written_.clear();
    // The window only marks this connection as alive: never mapped, never drawn. A new
    // connection often gets the window id of one that ended, so the name adds the process
    // and the connection, and the window names its ledger.
    static std::uint32_t connections = 0;
    const xcb_window_t owner = xcb_generate_id(c);
    xcb_create_window(c, 0, owner, root_, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    char name[prefix.size() + 40];
    std::snprintf(name, sizeof name, "%s%08x_%x_%x", prefix.data(), owner, static_cast<unsigned>(::getpid()),
                  ++connections);
    const char mark[] = "_VELMAR_COMPUTER_USE_INPUT";
    auto nameCookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    auto markCookie = xcb_intern_atom(c, 0, sizeof mark - 1, mark);
    auto listCookie = xcb_list_properties(c, root_);
    name_ = x11Required(c, xcb_intern_atom_reply(c, nameCookie, nullptr), nullptr, "InternAtom")->atom;
    const xcb_atom_t markAtom = x11Required(c, xcb_intern_atom_reply(c, markCookie, nullptr), nullptr, "InternAtom")->atom;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, owner, markAtom, XCB_ATOM_ATOM, 32, 1, &name_);
    auto list = x11Reply(c, xcb_list_properties_reply(c, listCookie, nullptr), nullptr);
    if (!list)
        return;

    const xcb_atom_t* atoms = xcb_list_properties_atoms(list.get());
    const int count = xcb_list_properties_atoms_length(list.get());
    std::vector<xcb_get_atom_name_cookie_t> nameCookies;
    for (int i = 0; i < count; ++i)
        nameCookies.push_back(xcb_get_atom_name(c, atoms[i]));
    std::vector<std::pair<xcb_atom_t, xcb_get_property_cookie_t>> owners;
    for (int i = 0; i < count; ++i) {
        auto reply = x11Reply(c, xcb_get_atom_name_reply(c, nameCookies[static_cast<std::size_t>(i)], nullptr), nullptr);
        if (!reply || atoms[i] == name_)
            continue;
        const std::string_view text(xcb_get_atom_name_name(reply.get()),
                                    static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
        if (const auto window = ownerOf(text))
            owners.emplace_back(atoms[i], xcb_get_property(c, 0, *window, markAtom, XCB_ATOM_ATOM, 0, 1));
    }
    std::vector<xcb_get_property_cookie_t> orphaned;
    for (auto& [atom, cookie] : owners) {
        xcb_generic_error_t* error = nullptr;
        // A window that is gone answers with an error, one with the same id made since by
        // someone else does not name this ledger: either way its process has ended.
        auto named = x11Reply(c, xcb_get_property_reply(c, cookie, &error), error);
        const bool alive = named && named->format == 32 && xcb_get_property_value_length(named.get()) == 4
            && *static_cast<const xcb_atom_t*>(xcb_get_property_value(named.get())) == atom;
        if (!alive)
            orphaned.push_back(xcb_get_property(c, 1, root_, atom, XCB_ATOM_CARDINAL, 0, largestLedger));
    }
    // Reading with delete takes each ledger once, even when two processes start together.
    std::vector<Entry> entries;
    for (auto& cookie : orphaned) {
        auto property = x11Reply(c, xcb_get_property_reply(c, cookie, nullptr), nullptr);
        if (!property || property->format != 32)
            continue;
        const auto* words = static_cast<const std::uint32_t*>(xcb_get_property_value(property.get()));
        const int length = xcb_get_property_value_length(property.get()) / 4;
        for (int i = 0; i + wordsPerEntry <= length; i += wordsPerEntry) {
            const auto kind = static_cast<Entry::Kind>(words[i]);
            if ((kind == Entry::borrowed || kind == Entry::held) && words[i + 1] <= 255)
                entries.push_back({kind, static_cast<xcb_keycode_t>(words[i + 1]), words[i + 2], words[i + 3]});
        }
    }
    giveBack(c, entries);
}

void X11InputLedger::giveBack(xcb_connection_t* c, const std::vector<Entry>& entries)
{
    if (entries.empty())
        return;
    // Keys first, so that none is left repeating once its auto-repeat is back on.
    for (const Entry& entry : entries) {
        if (entry.kind != Entry::held)
            continue;
        xcb_test_fake_input(c, XCB_KEY_RELEASE, entry.keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        if (entry.first == 1)
            X11Keymap::setRepeats(c, entry.keycode, true);
    }
    // A keycode is given back only while it still carries what was bound to it: a new
    // layout may have given it a meaning of its own since.
    std::vector<std::pair<xcb_keycode_t, xcb_get_keyboard_mapping_cookie_t>> bound;
    for (const Entry& entry : entries) {
        if (entry.kind == Entry::borrowed && entry.keycode >= 8)
            bound.emplace_back(entry.keycode, xcb_get_keyboard_mapping(c, entry.keycode, 1));
    }
    for (std::size_t i = 0; i < bound.size(); ++i) {
        auto mapping = x11Reply(c, xcb_get_keyboard_mapping_reply(c, bound[i].second, nullptr), nullptr);
        if (!mapping || mapping->keysyms_per_keycode == 0)
            continue;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.kind == Entry::borrowed && e.keycode == bound[i].first;
        });
        if (syms[0] != entry->first)
            continue;
        const std::vector<xcb_keysym_t> empty(mapping->keysyms_per_keycode, 0);
        xcb_change_keyboard_mapping(c, 1, bound[i].first, mapping->keysyms_per_keycode, empty.data());
    }
    // At start-up nothing else may follow for a long while.
    xcb_flush(c);
}

void X11InputLedger::write(xcb_connection_t* connection, const std::vector<Entry>& entries)
{
    if (entries == written_ || name_ == XCB_NONE)
        return;
    if (entries.empty()) {
        xcb_delete_property(connection, root_, name_);
    } else {
        std::vector<std::uint32_t> words;
        for (const Entry& entry : entries)
            words.insert(words.end(), {entry.kind, entry.keycode, entry.first, entry.second});
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root_, name_, XCB_ATOM_CARDINAL, 32,
                            static_cast<std::uint32_t>(words.size()), words.data());
    }
    written_ = entries;
}
