#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct xcb_connection_t;

// The X CLIPBOARD as a way to type text that no key types: the text is put on the clipboard,
// a paste key is sent, and once a client has taken the text the clipboard gets back what it
// held before, so that the user's own copy survives. On a Wayland desktop this is the
// clipboard of its XWayland, which the compositor shares with its Wayland clients.
//
// What the clipboard held is kept as every form its owner offered (text, pictures, rich text),
// and this process serves it from then on, as the owner did, until something else is copied.
// When this process ends, that copy ends with it. Thread-safe; pastes run one at a time.
class X11Clipboard {
public:
    // Connects to the X server named by DISPLAY on first use.
    X11Clipboard();
    ~X11Clipboard();
    X11Clipboard(const X11Clipboard&) = delete;
    X11Clipboard& operator=(const X11Clipboard&) = delete;

    // Whether there is an X server to hold the clipboard.
    bool available();

    // Puts `utf8` on the clipboard, runs `paste` (which sends the paste key), waits until a
    // client has taken the text, and puts back what the clipboard held. Throws PlatformError
    // when the clipboard cannot be taken, when what it holds cannot be kept (then nothing is
    // pasted), or when nothing took the text within a second and a half (then the paste key
    // reached no text field; the clipboard is put back all the same).
    void pasteWith(const std::string& utf8, const std::function<void()>& paste);

    // One form of the clipboard's contents: its target (what it is asked for by), and the
    // property type, format and bytes it is served with.
    struct Form {
        std::uint32_t type = 0;
        std::uint8_t format = 8;
        std::string bytes;
    };

private:
    void connect();
    void serve();
    std::map<std::uint32_t, Form> saveCurrent();
    void offer(std::map<std::uint32_t, Form> forms);

    std::mutex pasteLock_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool connected_ = false;
    bool broken_ = false;
    xcb_connection_t* owner_ = nullptr;  // serves the clipboard, on its own thread
    xcb_connection_t* reader_ = nullptr; // reads the clipboard, on the caller's thread
    std::uint32_t ownerWindow_ = 0;
    std::uint32_t readerWindow_ = 0;
    std::map<std::string, std::uint32_t> atoms_;
    // What this process serves while it owns the clipboard, by target (none for a clipboard
    // that was empty: owning it with nothing to offer keeps it empty, where giving it up
    // would let a clipboard manager bring back the pasted text).
    std::map<std::uint32_t, Form> offered_;
    bool owning_ = false;
    // Requests for the offered forms (not for the list of targets), counted.
    unsigned fetches_ = 0;
    unsigned targetQueries_ = 0;
    int wake_[2] = {-1, -1};
    std::thread server_;
};
