#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The Wayland clipboard of a compositor that offers clipboard managers its data-control
// protocol (KWin does, to every client) as a way to type text that no key types: the text is
// put on the clipboard, a paste key is sent, and once a client has taken the text the
// clipboard gets back what it held before, in every form its owner offered, served by this
// process from then on until something else is copied (and gone with it when it ends).
// An empty clipboard is left empty. A connection and a thread of its own serve it.
// Thread-safe; pastes run one at a time.
class KdeClipboard {
public:
    KdeClipboard();
    ~KdeClipboard();
    KdeClipboard(const KdeClipboard&) = delete;
    KdeClipboard& operator=(const KdeClipboard&) = delete;

    // Whether the compositor offers the clipboard to this process.
    bool available();
    // Puts `utf8` on the clipboard, runs `paste` (which sends the paste key), waits until a
    // client has taken the text, and puts back what the clipboard held. Throws PlatformError
    // when the clipboard cannot be reached, when what it holds cannot be kept (then nothing
    // is pasted), or when nothing took the text within a second and a half.
    void pasteWith(const std::string& utf8, const std::function<void()>& paste);

    struct State;

private:
    // Runs `work` on the serving thread and waits for it; passes on what it throws.
    void onServer(const std::function<void(State&)>& work);
    void serve();

    std::unique_ptr<State> state_;
    std::mutex pasteLock_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> work_;
    int wake_[2] = {-1, -1};
    bool stopping_ = false;
    std::thread server_;
};
