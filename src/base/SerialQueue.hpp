#pragma once

#include <asio/io_context.hpp>
#include <asio/executor_work_guard.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

// A serial queue: blocks submitted to it run one at a time, in order, on one thread.
// The queue owns an io_context, so sockets and timers bound to it (the HTTP listener and
// connections) are serviced on the same thread as the blocks, one event at a time.
class SerialQueue {
public:
    // Starts a thread of its own that runs the queue until the process ends.
    explicit SerialQueue(std::string label);
    // The main queue: no thread of its own; the caller's thread runs it through runForever().
    struct OnCallingThread {};
    SerialQueue(std::string label, OnCallingThread);

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    // Stops the queue and joins its thread; blocks not yet run are dropped.
    ~SerialQueue();

    // A block that throws does not stop the queue: the exception is dropped.
    void async(std::function<void()> block);
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block);
    // Runs the block on the queue and waits for it. Calling it from the queue's own thread
    // would wait for ever: that is a programming error and aborts.
    void sync(const std::function<void()>& block);

    bool isCurrent() const;
    const std::string& label() const { return label_; }
    asio::io_context& context() { return context_; }

    // Runs the queue on the calling thread; returns only if the queue is stopped.
    void runForever();

private:
    void run();

    std::string label_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
    // Set by the thread that runs the queue while other threads may ask isCurrent().
    std::atomic<std::thread::id> runner_;
};
