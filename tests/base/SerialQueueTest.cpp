#include "base/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <new>
#include <stdexcept>
#include <vector>

TEST(SerialQueue, RunsBlocksOneAtATimeInOrder)
{
    SerialQueue queue("test");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 100; ++i)
        queue.async([&, i] {
            overlapped |= ++running > 1;
            order.push_back(i);
            --running;
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncRunsOnTheQueueAndPassesExceptionsBack)
{
    SerialQueue queue("test");
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(SerialQueue, ABlockThatThrowsDoesNotStopTheQueue)
{
    SerialQueue queue("test");
    queue.async([] { throw std::runtime_error("x"); });
    queue.asyncAfter(std::chrono::milliseconds(1), [] { throw std::bad_alloc(); });
    queue.async([] { throw 42; });
    std::promise<void> later;
    queue.asyncAfter(std::chrono::milliseconds(5), [&] { later.set_value(); });
    later.get_future().get();
    bool ran = false;
    queue.sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(SerialQueue, AsyncAfterWaitsForItsDelay)
{
    SerialQueue queue("test");
    std::promise<std::chrono::steady_clock::time_point> ran;
    const auto start = std::chrono::steady_clock::now();
    queue.asyncAfter(std::chrono::milliseconds(50), [&] { ran.set_value(std::chrono::steady_clock::now()); });
    EXPECT_GE(ran.get_future().get() - start, std::chrono::milliseconds(50));
}

TEST(SerialQueueDeathTest, SyncFromItsOwnThreadAborts)
{
    EXPECT_DEATH(
        {
            SerialQueue queue("test");
            queue.sync([&] { queue.sync([] {}); });
        },
        "own queue");
}
