#include "platform/kde/KdeClipboard.hpp"

#include "base/PlatformError.hpp"

#include "data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What is kept of the clipboard at most; more is refused rather than cut.
constexpr std::size_t largestKept = 16u << 20;
constexpr std::size_t mostForms = 64;
constexpr auto ownerAnswers = std::chrono::seconds(1);
constexpr auto clientTakes = std::chrono::milliseconds(3000);
constexpr auto transferEnds = std::chrono::milliseconds(200);
const char* const textForms[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT"};

PlatformError clipboardError(const std::string& why)
{
    return PlatformError("Wayland", 0, why);
}

// Writes all of `data` to a pipe a client reads, then closes it; a client that went away
// loses the rest.
void writeAll(int fd, const std::string& data)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += static_cast<std::size_t>(wrote);
    }
    ::close(fd);
}

} // namespace

struct KdeClipboard::State {
    // One selection offer as the compositor describes it.
    struct Offer {
        zwlr_data_control_offer_v1* proxy = nullptr;
        std::vector<std::string> forms;
    };
    // One source of ours and what it serves, by form.
    struct Source {
        State* state = nullptr;
        zwlr_data_control_source_v1* proxy = nullptr;
        std::map<std::string, std::string> forms;
        unsigned fetches = 0;

        Source() = default;
        Source(const Source&) = delete;
        Source& operator=(const Source&) = delete;
        // A source replaced or cancelled is gone for good: no event of it may come after.
        ~Source()
        {
            if (proxy)
                zwlr_data_control_source_v1_destroy(proxy);
        }
    };

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    std::map<zwlr_data_control_offer_v1*, std::unique_ptr<Offer>> offers;
    Offer* selection = nullptr;
    // The source whose selection stands (ours), else nothing.
    std::unique_ptr<Source> current;
    bool failed = false;

    ~State()
    {
        current.reset();
        for (auto& [proxy, offer] : offers)
            zwlr_data_control_offer_v1_destroy(proxy);
        if (device)
            zwlr_data_control_device_v1_destroy(device);
        if (manager)
            zwlr_data_control_manager_v1_destroy(manager);
        if (seat)
            wl_seat_destroy(seat);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
    }

    void connect();
    std::map<std::string, std::string> saveCurrent();
    Source& offer(std::map<std::string, std::string> forms);
    void clear();
};

namespace {

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t)
{
    auto& state = *static_cast<KdeClipboard::State*>(data);
    const std::string_view kind = interface;
    if (kind == wl_seat_interface.name && !state.seat)
        state.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (kind == zwlr_data_control_manager_v1_interface.name && !state.manager)
        state.manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

void onOfferForm(void* data, zwlr_data_control_offer_v1*, const char* form)
{
    auto& offer = *static_cast<KdeClipboard::State::Offer*>(data);
    if (offer.forms.size() < mostForms)
        offer.forms.emplace_back(form);
}

const zwlr_data_control_offer_v1_listener offerListener = {onOfferForm};

void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy)
{
    auto& state = *static_cast<KdeClipboard::State*>(data);
    auto offer = std::make_unique<KdeClipboard::State::Offer>();
    offer->proxy = proxy;
    zwlr_data_control_offer_v1_add_listener(proxy, &offerListener, offer.get());
    state.offers[proxy] = std::move(offer);
}

void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy)
{
    auto& state = *static_cast<KdeClipboard::State*>(data);
    // The offer before is done with.
    if (state.selection && state.selection->proxy != proxy) {
        zwlr_data_control_offer_v1_destroy(state.selection->proxy);
        state.offers.erase(state.selection->proxy);
    }
    const auto found = state.offers.find(proxy);
    state.selection = found == state.offers.end() ? nullptr : found->second.get();
}

void onFinished(void* data, zwlr_data_control_device_v1*)
{
    static_cast<KdeClipboard::State*>(data)->failed = true;
}

const zwlr_data_control_device_v1_listener deviceListener = {onDataOffer, onSelection, onFinished};

void onSend(void* data, zwlr_data_control_source_v1*, const char* form, std::int32_t fd)
{
    auto& source = *static_cast<KdeClipboard::State::Source*>(data);
    const auto found = source.forms.find(form);
    if (found == source.forms.end()) {
        ::close(fd);
        return;
    }
    writeAll(fd, found->second);
    ++source.fetches;
}

void onCancelled(void* data, zwlr_data_control_source_v1*)
{
    auto& source = *static_cast<KdeClipboard::State::Source*>(data);
    // Something else was copied: the clipboard is theirs now.
    if (source.state->current.get() == &source)
        source.state->current.reset();
}

const zwlr_data_control_source_v1_listener sourceListener = {onSend, onCancelled};

} // namespace

void KdeClipboard::State::connect()
{
    if (display)
        return;
    display = wl_display_connect(nullptr);
    if (!display) {
        failed = true;
        return;
    }
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, this);
    wl_display_roundtrip(display);
    if (seat && manager) {
        device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, this);
        wl_display_roundtrip(display);
    }
}

std::map<std::string, std::string> KdeClipboard::State::saveCurrent()
{
    if (current)
        return current->forms;
    std::map<std::string, std::string> forms;
    if (!selection)
        return forms;
    std::size_t kept = 0;
    for (const std::string& form : selection->forms) {
        // The X selection's questions, which some toolkits list among the forms, are answered
        // by whoever holds the clipboard, not kept.
        if (forms.contains(form) || form == "TARGETS" || form == "MULTIPLE" || form == "TIMESTAMP"
            || form == "SAVE_TARGETS" || form == "DELETE")
            continue;
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            throw clipboardError("no pipe to read the clipboard through");
        zwlr_data_control_offer_v1_receive(selection->proxy, form.c_str(), pipe[1]);
        ::close(pipe[1]);
        wl_display_flush(display);
        std::string data;
        const auto until = Clock::now() + ownerAnswers;
        char buffer[1 << 16];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd ready{pipe[0], POLLIN, 0};
            if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) == 0) {
                ::close(pipe[0]);
                throw clipboardError("the application that holds the clipboard does not answer for \"" + form.substr(0, 64)
                                     + "\", so the clipboard cannot be kept");
            }
            const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            kept += static_cast<std::size_t>(got);
            if (kept > largestKept) {
                ::close(pipe[0]);
                throw clipboardError("the clipboard holds more than can be kept while text is pasted");
            }
            data.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(pipe[0]);
        forms.emplace(form, std::move(data));
    }
    return forms;
}

KdeClipboard::State::Source& KdeClipboard::State::offer(std::map<std::string, std::string> forms)
{
    auto source = std::make_unique<Source>();
    source->state = this;
    source->forms = std::move(forms);
    source->proxy = zwlr_data_control_manager_v1_create_data_source(manager);
    zwlr_data_control_source_v1_add_listener(source->proxy, &sourceListener, source.get());
    for (const auto& [form, data] : source->forms)
        zwlr_data_control_source_v1_offer(source->proxy, form.c_str());
    zwlr_data_control_device_v1_set_selection(device, source->proxy);
    current = std::move(source);
    wl_display_roundtrip(display);
    if (!current)
        throw clipboardError("the clipboard could not be taken to paste through");
    return *current;
}

void KdeClipboard::State::clear()
{
    zwlr_data_control_device_v1_set_selection(device, nullptr);
    wl_display_roundtrip(display);
    current.reset();
}

KdeClipboard::KdeClipboard() : state_(std::make_unique<State>())
{
    if (::pipe2(wake_, O_CLOEXEC) == 0)
        server_ = std::thread([this] { serve(); });
}

KdeClipboard::~KdeClipboard()
{
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    if (server_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto written = ::write(wake_[1], &stop, 1);
        server_.join();
    }
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

void KdeClipboard::serve()
{
    for (;;) {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(lock_);
            if (stopping_) {
                state_.reset();
                return;
            }
            work.swap(work_);
        }
        for (auto& job : work)
            job();
        wl_display* display = state_->display;
        if (display && wl_display_flush(display) < 0 && errno != EAGAIN)
            state_->failed = true;
        pollfd ready[2] = {{wake_[0], POLLIN, 0}, {display && !state_->failed ? wl_display_get_fd(display) : -1, POLLIN, 0}};
        ::poll(ready, 2, -1);
        if (ready[0].revents) {
            char drained[64];
            [[maybe_unused]] const auto got = ::read(wake_[0], drained, sizeof drained);
        }
        if (ready[1].revents & (POLLERR | POLLHUP)) {
            state_->failed = true;
        } else if (ready[1].revents & POLLIN) {
            if (wl_display_dispatch(display) < 0)
                state_->failed = true;
            changed_.notify_all();
        }
    }
}

void KdeClipboard::onServer(const std::function<void(State&)>& work)
{
    if (!server_.joinable())
        throw clipboardError("the clipboard cannot be served");
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard lock(lock_);
        work_.push_back([&] {
            try {
                work(*state_);
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    const char wake = 0;
    [[maybe_unused]] const auto written = ::write(wake_[1], &wake, 1);
    finished.get();
}

bool KdeClipboard::available()
{
    bool offered = false;
    try {
        onServer([&](State& state) {
            state.connect();
            offered = !state.failed && state.device;
        });
    } catch (const std::exception&) {
    }
    return offered;
}

void KdeClipboard::pasteWith(const std::string& utf8, const std::function<void()>& paste)
{
    std::lock_guard pasting(pasteLock_);
    std::map<std::string, std::string> saved;
    State::Source* text = nullptr;
    onServer([&](State& state) {
        state.connect();
        if (state.failed || !state.device)
            throw clipboardError("the desktop offers no clipboard to paste through");
        // Nothing is pasted unless the clipboard can be given back as it was.
        saved = state.saveCurrent();
        std::map<std::string, std::string> forms;
        for (const char* form : textForms)
            forms.emplace(form, utf8);
        text = &state.offer(std::move(forms));
    });
    const auto giveBack = [&] {
        onServer([&](State& state) {
            // Whatever was copied meanwhile by someone else stays.
            if (state.current.get() != text)
                return;
            if (saved.empty())
                state.clear();
            else
                state.offer(std::move(saved));
        });
    };
    bool taken = false;
    try {
        // Only a fetch after the paste key is the paste: the compositor's bridge to its X
        // clients may read a new clipboard at once.
        unsigned before = 0;
        onServer([&](State& state) { before = state.current.get() == text ? text->fetches : 0; });
        paste();
        const auto until = Clock::now() + clientTakes;
        while (!taken && Clock::now() < until) {
            onServer([&](State& state) { taken = state.current.get() == text && text->fetches > before; });
            if (!taken)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // A toolkit that hears of a new clipboard drops a paste it is still reading (seen:
        // the pasted text lost), so the text stays a moment after it was taken.
        if (taken)
            std::this_thread::sleep_for(transferEnds);
    } catch (...) {
        giveBack();
        throw;
    }
    giveBack();
    if (!taken)
        throw clipboardError("nothing took the pasted text: no text field has the keyboard focus");
}
