#pragma once

#include <atomic>
#include <functional>

class SerialQueue;

// Ending the process without leaving anything behind on the user's machine: the clean-up
// (keys released, keycodes given back, the recording finished) runs on the HTTP work queue
// after the request under way, then the process ends. Only the first ending runs it.
class Shutdown {
public:
    Shutdown(SerialQueue& queue, std::function<void()> cleanUp);

    // From any thread but the queue's; returns at once. If the queue stays held (a frozen
    // request) past the patience, the process ends without the clean-up.
    void end(int code);
    // On the queue itself: cleans up and ends at once.
    void endHere(int code);

    // SIGTERM, SIGINT and SIGHUP stay pending for the thread that watchSignals() starts:
    // call this before any other thread exists, so that every thread inherits the mask.
    static void holdSignals();
    // The first of those signals ends the process cleanly with code 0; a second one, while
    // the clean-up runs, ends it at once.
    void watchSignals();

private:
    SerialQueue& queue_;
    std::function<void()> cleanUp_;
    std::atomic<bool> ending_{false};
    // Touched on the queue only.
    bool cleanedUp_ = false;
};
