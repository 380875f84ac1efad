#include "platform/x11/X11Clipboard.hpp"

#include "base/PlatformError.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* atomNames[] = {"CLIPBOARD", "TARGETS",      "UTF8_STRING", "TEXT",   "text/plain;charset=utf-8",
                                     "MULTIPLE",  "TIMESTAMP",    "SAVE_TARGETS", "DELETE", "INCR",
                                     "VELMAR_CLIPBOARD_TRANSFER"};
// What is kept of the clipboard at most; more is refused rather than cut.
constexpr std::size_t largestKept = 16u << 20;
// How long the clipboard's owner has to answer one question.
constexpr auto ownerAnswers = std::chrono::seconds(1);
// How long the compositor has to read the new clipboard before the paste key, and the
// pasting client to take the text after it. Both waits end as soon as it happens, so they
// are long enough for a desktop busy with other work: a paste key sent before the compositor
// has read the new clipboard pastes the old one.
constexpr auto bridgeReads = std::chrono::milliseconds(2000);
constexpr auto clientTakes = std::chrono::milliseconds(3000);
constexpr auto managerCopies = std::chrono::milliseconds(300);
// How long the text stays on the clipboard after the client asked for it: the compositor
// passes it on to a Wayland client through a pipe of its own, and a clipboard changed before
// that is done cuts the transfer short (seen: the text lost, the paste empty).
constexpr auto transferEnds = std::chrono::milliseconds(200);

PlatformError clipboardError(const std::string& why)
{
    return PlatformError("X11", 0, why);
}

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T> Reply<T> reply(T* value)
{
    return Reply<T>(value, &std::free);
}

xcb_window_t makeWindow(xcb_connection_t* c)
{
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    return window;
}

// Waits for the next event of one kind on a connection that nobody else reads, until the
// deadline; other events are dropped (the reader wants only its answers).
Reply<xcb_generic_event_t> nextEvent(xcb_connection_t* c, std::uint8_t kind, Clock::time_point until)
{
    for (;;) {
        while (auto* event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7f) == kind)
                return reply(event);
            std::free(event);
        }
        if (xcb_connection_has_error(c))
            throw clipboardError("the connection to the X server was lost");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return reply<xcb_generic_event_t>(nullptr);
        pollfd ready{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(left));
    }
}

} // namespace

X11Clipboard::X11Clipboard() = default;

X11Clipboard::~X11Clipboard()
{
    if (server_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto written = ::write(wake_[1], &stop, 1);
        server_.join();
    }
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
    if (owner_)
        xcb_disconnect(owner_);
    if (reader_)
        xcb_disconnect(reader_);
}

void X11Clipboard::connect()
{
    if (connected_)
        return;
    connected_ = true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        broken_ = true;
        return;
    }
    owner_ = xcb_connect(nullptr, nullptr);
    reader_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(owner_) || xcb_connection_has_error(reader_) || ::pipe2(wake_, O_CLOEXEC) != 0) {
        broken_ = true;
        return;
    }
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const char* name : atomNames)
        cookies.push_back(xcb_intern_atom(reader_, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        auto answer = reply(xcb_intern_atom_reply(reader_, cookies[i], nullptr));
        if (!answer) {
            broken_ = true;
            return;
        }
        atoms_[atomNames[i]] = answer->atom;
    }
    ownerWindow_ = makeWindow(owner_);
    readerWindow_ = makeWindow(reader_);
    xcb_flush(owner_);
    xcb_flush(reader_);
    server_ = std::thread([this] { serve(); });
}

bool X11Clipboard::available()
{
    std::lock_guard paste(pasteLock_);
    connect();
    std::lock_guard lock(lock_);
    return !broken_;
}

void X11Clipboard::serve()
{
    const xcb_atom_t clipboard = atoms_.at("CLIPBOARD");
    const xcb_atom_t targets = atoms_.at("TARGETS");
    for (;;) {
        pollfd ready[2] = {{xcb_get_file_descriptor(owner_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        ::poll(ready, 2, -1);
        if (ready[1].revents)
            return;
        while (auto* raw = xcb_poll_for_event(owner_)) {
            const auto event = reply(raw);
            const std::uint8_t kind = event->response_type & 0x7f;
            std::lock_guard lock(lock_);
            if (kind == XCB_SELECTION_CLEAR) {
                // Something else was copied: the clipboard is theirs now.
                owning_ = false;
                offered_.clear();
                changed_.notify_all();
                continue;
            }
            if (kind != XCB_SELECTION_REQUEST)
                continue;
            const auto* request = reinterpret_cast<const xcb_selection_request_event_t*>(event.get());
            // Clients before ICCCM 2 name no property: the target stands for it.
            const xcb_atom_t property = request->property == XCB_NONE ? request->target : request->property;
            bool answered = false;
            if (owning_ && request->selection == clipboard) {
                if (request->target == targets) {
                    std::vector<xcb_atom_t> list{targets};
                    for (const auto& [target, form] : offered_)
                        list.push_back(target);
                    xcb_change_property(owner_, XCB_PROP_MODE_REPLACE, request->requestor, property, XCB_ATOM_ATOM, 32,
                                        static_cast<std::uint32_t>(list.size()), list.data());
                    answered = true;
                    ++targetQueries_;
                } else if (const auto form = offered_.find(request->target); form != offered_.end()) {
                    const Form& f = form->second;
                    const std::size_t unit = f.format / 8;
                    xcb_change_property(owner_, XCB_PROP_MODE_REPLACE, request->requestor, property, f.type, f.format,
                                        static_cast<std::uint32_t>(f.bytes.size() / unit), f.bytes.data());
                    answered = true;
                    ++fetches_;
                }
            }
            xcb_selection_notify_event_t notify{};
            notify.response_type = XCB_SELECTION_NOTIFY;
            notify.time = request->time;
            notify.requestor = request->requestor;
            notify.selection = request->selection;
            notify.target = request->target;
            notify.property = answered ? property : XCB_NONE;
            xcb_send_event(owner_, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
            xcb_flush(owner_);
            changed_.notify_all();
        }
        if (xcb_connection_has_error(owner_)) {
            std::lock_guard lock(lock_);
            broken_ = true;
            owning_ = false;
            changed_.notify_all();
            return;
        }
    }
}

std::map<std::uint32_t, X11Clipboard::Form> X11Clipboard::saveCurrent()
{
    const xcb_atom_t clipboard = atoms_.at("CLIPBOARD");
    const xcb_atom_t transfer = atoms_.at("VELMAR_CLIPBOARD_TRANSFER");
    auto owner = reply(xcb_get_selection_owner_reply(reader_, xcb_get_selection_owner(reader_, clipboard), nullptr));
    if (!owner)
        throw clipboardError("the connection to the X server was lost");
    if (owner->owner == XCB_NONE)
        return {};
    if (owner->owner == ownerWindow_) {
        std::lock_guard lock(lock_);
        return offered_;
    }

    // One form, as its owner gives it; nothing when it refuses that one.
    const auto convert = [&](xcb_atom_t target) -> std::optional<Form> {
        xcb_delete_property(reader_, readerWindow_, transfer);
        xcb_convert_selection(reader_, readerWindow_, clipboard, target, transfer, XCB_CURRENT_TIME);
        xcb_flush(reader_);
        const auto event = nextEvent(reader_, XCB_SELECTION_NOTIFY, Clock::now() + ownerAnswers);
        if (!event)
            throw clipboardError("the application that holds the clipboard does not answer, so it cannot be kept");
        if (reinterpret_cast<const xcb_selection_notify_event_t*>(event.get())->property == XCB_NONE)
            return std::nullopt;
        auto value = reply(xcb_get_property_reply(
            reader_, xcb_get_property(reader_, 1, readerWindow_, transfer, XCB_GET_PROPERTY_TYPE_ANY, 0, largestKept / 4),
            nullptr));
        if (!value)
            throw clipboardError("the connection to the X server was lost");
        if (value->type == atoms_.at("INCR") || value->bytes_after > 0)
            throw clipboardError("the clipboard holds more than can be kept while text is pasted");
        Form form;
        form.type = value->type;
        form.format = value->format == 0 ? 8 : value->format;
        const auto length = static_cast<std::size_t>(xcb_get_property_value_length(value.get()));
        form.bytes.assign(static_cast<const char*>(xcb_get_property_value(value.get())), length);
        return form;
    };

    std::map<std::uint32_t, Form> forms;
    const auto list = convert(atoms_.at("TARGETS"));
    if (!list)
        return forms;
    const auto* targets = reinterpret_cast<const xcb_atom_t*>(list->bytes.data());
    const std::size_t count = list->format == 32 ? list->bytes.size() / sizeof(xcb_atom_t) : 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const xcb_atom_t target = targets[i];
        // The questions about the clipboard are answered by whoever holds it, not kept.
        if (target == XCB_NONE || target == atoms_.at("TARGETS") || target == atoms_.at("MULTIPLE")
            || target == atoms_.at("TIMESTAMP") || target == atoms_.at("SAVE_TARGETS") || target == atoms_.at("DELETE")
            || forms.contains(target))
            continue;
        auto form = convert(target);
        if (!form)
            continue;
        kept += form->bytes.size();
        if (kept > largestKept)
            throw clipboardError("the clipboard holds more than can be kept while text is pasted");
        forms.emplace(target, std::move(*form));
    }
    return forms;
}

void X11Clipboard::offer(std::map<std::uint32_t, Form> forms)
{
    {
        std::lock_guard lock(lock_);
        offered_ = std::move(forms);
        owning_ = true;
        fetches_ = 0;
        targetQueries_ = 0;
    }
    xcb_set_selection_owner(owner_, ownerWindow_, atoms_.at("CLIPBOARD"), XCB_CURRENT_TIME);
    xcb_flush(owner_);
}

void X11Clipboard::pasteWith(const std::string& utf8, const std::function<void()>& paste)
{
    std::lock_guard pasting(pasteLock_);
    connect();
    {
        std::lock_guard lock(lock_);
        if (broken_)
            throw clipboardError("no X server holds a clipboard to paste through");
    }
    // Nothing is pasted unless the clipboard can be given back as it was.
    std::map<std::uint32_t, Form> saved = saveCurrent();

    const Form text{atoms_.at("UTF8_STRING"), 8, utf8};
    offer({{atoms_.at("UTF8_STRING"), text}, {atoms_.at("text/plain;charset=utf-8"), text}, {atoms_.at("TEXT"), text}});
    // Asked on the connection that took it: the server handles a connection's requests in
    // order, but not one connection's before another's.
    auto owner = reply(xcb_get_selection_owner_reply(
        owner_, xcb_get_selection_owner(owner_, atoms_.at("CLIPBOARD")), nullptr));
    if (!owner || owner->owner != ownerWindow_) {
        std::lock_guard lock(lock_);
        owning_ = false;
        throw clipboardError("the clipboard could not be taken to paste through");
    }

    bool taken = false;
    const auto giveBack = [&] {
        std::unique_lock lock(lock_);
        // Whatever was copied meanwhile by someone else stays.
        if (!owning_)
            return;
        lock.unlock();
        offer(std::move(saved));
    };
    try {
        {
            // The compositor reads the new clipboard's forms before a client can paste it, and
            // a clipboard manager (the compositor's own, on GNOME) copies the text at once, so
            // that it outlives its owner: neither is the paste, which is counted from the key on.
            std::unique_lock lock(lock_);
            changed_.wait_for(lock, bridgeReads, [&] { return targetQueries_ > 0 || !owning_; });
            changed_.wait_for(lock, managerCopies, [&] { return fetches_ > 0 || !owning_; });
            fetches_ = 0;
        }
        paste();
        std::unique_lock lock(lock_);
        taken = changed_.wait_for(lock, clientTakes, [&] { return fetches_ > 0 || !owning_; }) && fetches_ > 0;
        if (taken)
            changed_.wait_for(lock, transferEnds, [&] { return !owning_; });
    } catch (...) {
        giveBack();
        throw;
    }
    giveBack();
    if (!taken)
        throw clipboardError("nothing took the pasted text: no text field has the keyboard focus");
}
