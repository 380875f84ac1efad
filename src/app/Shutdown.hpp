#pragma once

#include <atomic>
#include <functional>

class SerialQueue;

// Ending the process without leaving anything behind on the user's machine. The recording
// is finished at once, on a thread of its own, whatever the HTTP work queue is doing: a
// request may hold that queue for tens of seconds, and the process may not be given that
// long. The rest of the clean-up (keys released, keycodes given back) belongs to the queue
// and runs there after the request under way; then the process ends. Only the first ending
// runs it.
class Shutdown {
public:
    Shutdown(SerialQueue& queue, std::function<void()> cleanUp, std::function<void()> finishRecording);

    // From any thread but the queue's; returns at once. If the queue stays held (a frozen
    // request) past the patience, the process ends without the rest of the clean-up.
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
    std::function<void()> finishRecording_;
    std::atomic<bool> ending_{false};
    // Set once the recording is finished, by whichever thread finished it.
    std::atomic<bool> recordingFinished_{false};
    // Touched on the queue only.
    bool cleanedUp_ = false;
};
