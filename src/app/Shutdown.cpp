#include "app/Shutdown.hpp"

#include "base/Process.hpp"
#include "base/SerialQueue.hpp"

#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

// Longer than any request holds the queue (a picture waits at most 30 s, an audio start
// about 20 s) plus the recorder's stop.
constexpr auto patience = std::chrono::seconds(45);
// The recorder's stop: its sources' stop waits (5 s) and the part's ending.
constexpr int recordingPatienceMs = 10000;

sigset_t endingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}

Shutdown::Shutdown(SerialQueue& queue, std::function<void()> cleanUp, std::function<void()> finishRecording)
    : queue_(queue), cleanUp_(std::move(cleanUp)), finishRecording_(std::move(finishRecording))
{
}

void Shutdown::end(int code)
{
    if (ending_.exchange(true))
        return;
    std::thread([this] {
        finishRecording_();
        recordingFinished_ = true;
    }).detach();
    queue_.async([this, code] { endHere(code); });
    std::thread([code] {
        std::this_thread::sleep_for(patience);
        endProcess(code);
    }).detach();
}

void Shutdown::endHere(int code)
{
    const bool finishing = ending_.exchange(true);
    if (!cleanedUp_) {
        cleanedUp_ = true;
        cleanUp_();
    }
    if (!finishing) {
        finishRecording_();
    } else {
        // The recording's own thread is finishing it: the process waits for that, as long
        // as the recorder's stop can take.
        for (int waited = 0; !recordingFinished_ && waited < recordingPatienceMs; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    endProcess(code);
}

void Shutdown::holdSignals()
{
    const sigset_t set = endingSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void Shutdown::watchSignals()
{
    std::thread([this] {
        const sigset_t set = endingSignals();
        int signal = 0;
        while (sigwait(&set, &signal) == 0) {
            if (ending_.load())
                endProcess(0);
            end(0);
        }
    }).detach();
}
