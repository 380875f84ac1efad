#include "base/SerialQueue.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>

SerialQueue::SerialQueue(std::string label, OnCallingThread)
    : label_(std::move(label)), context_(1), work_(asio::make_work_guard(context_))
{
}

SerialQueue::SerialQueue(std::string label)
    : SerialQueue(std::move(label), OnCallingThread{})
{
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        runner_.store(std::this_thread::get_id());
        started.set_value();
        run();
    });
    ready.wait();
}

SerialQueue::~SerialQueue()
{
    work_.reset();
    context_.stop();
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::async(std::function<void()> block)
{
    asio::post(context_, std::move(block));
}

void SerialQueue::asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> block)
{
    auto timer = std::make_shared<asio::steady_timer>(context_, delay);
    timer->async_wait([timer, block = std::move(block)](const std::error_code& error) {
        if (!error)
            block();
    });
}

void SerialQueue::sync(const std::function<void()>& block)
{
    if (isCurrent()) {
        std::fprintf(stderr, "SerialQueue::sync called on its own queue %s\n", label_.c_str());
        std::abort();
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(context_, [&] {
        try {
            block();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialQueue::isCurrent() const
{
    return std::this_thread::get_id() == runner_.load();
}

void SerialQueue::runForever()
{
    runner_.store(std::this_thread::get_id());
    run();
}

void SerialQueue::run()
{
    // A block or a socket event that throws ends run() with its exception. Nothing the
    // queue runs may end the process: the queue drops the exception and goes on with the
    // next block. run() returns normally only once the queue is stopped.
    for (;;) {
        try {
            context_.run();
            return;
        } catch (...) {
        }
    }
}
