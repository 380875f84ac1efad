#include "app/Program.hpp"
#include "base/SerialQueue.hpp"
#include "http/RequestFramer.hpp"
#include "mcp/MCPStdio.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// The transport between two pipes, served on a queue of its own as on the HTTP work queue.
class MCPStdioTest : public testing::Test {
protected:
    MCPStdioTest()
    {
        int in[2], out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        hostWrites = in[1];
        hostReads = out[0];
        stdio = std::make_unique<MCPStdio>(in[0], out[1], program.mcp(), queue);
        serverInput = in[0];
        serverOutput = out[1];
    }

    ~MCPStdioTest() override
    {
        if (hostWrites >= 0)
            ::close(hostWrites);
        queue.sync([] {});
        for (int fd : {hostReads, serverInput, serverOutput})
            ::close(fd);
    }

    void write(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(hostWrites, bytes.data(), bytes.size());
            ASSERT_GT(n, 0);
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    // The next line the server wrote, or "" when none came within 10 s.
    std::string readLine()
    {
        while (true) {
            if (const size_t end = received.find('\n'); end != std::string::npos) {
                std::string line = received.substr(0, end);
                received.erase(0, end + 1);
                return line;
            }
            pollfd ready{hostReads, POLLIN, 0};
            if (::poll(&ready, 1, 10'000) <= 0)
                return "";
            char chunk[65536];
            const ssize_t n = ::read(hostReads, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            received.append(chunk, static_cast<size_t>(n));
        }
    }

    FakePlatform fake;
    Program program{fake.platform(), "", "2.0", [] {}};
    SerialQueue queue{"test.mcp"};
    std::unique_ptr<MCPStdio> stdio;
    int hostWrites = -1, hostReads = -1, serverInput = -1, serverOutput = -1;
    std::string received;
};

TEST_F(MCPStdioTest, AnswersInOrderRefusesTooLargeMessagesAndEndsWithItsInput)
{
    // Shared with the callbacks, which may outlive a test that failed half-way.
    auto ended = std::make_shared<std::promise<bool>>();
    auto served = std::make_shared<std::atomic<int>>(0);
    SerialQueue& queue = this->queue;
    stdio->start([served] { ++*served; }, [ended, &queue] { ended->set_value(queue.isCurrent()); });

    write(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
    EXPECT_EQ(readLine(), R"({"id":1,"jsonrpc":"2.0","result":{}})");

    // Bad input of every kind is answered and the transport goes on.
    write("nonsense\r\n\n" R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n");
    EXPECT_EQ(readLine(), R"({"error":{"code":-32700,"message":"the message is not JSON"},"id":null,"jsonrpc":"2.0"})");

    // One byte over the HTTP body limit: refused as soon as the limit is passed, the rest of
    // the line dropped, the next message answered.
    const std::string tooLarge = R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{"pad":")"
        + std::string(static_cast<size_t>(RequestFramer::maximumBodyBytes), 'x') + "\"}}\n";
    std::thread writer([&] { write(tooLarge + R"({"jsonrpc":"2.0","id":3,"method":"ping"})" "\n"); });
    const Json refusal = *readJson(readLine());
    writer.join();
    EXPECT_EQ(refusal["error"]["code"], -32600);
    EXPECT_EQ(refusal["error"]["message"], "the message is over 8388608 bytes");
    EXPECT_TRUE(refusal["id"].is_null());
    EXPECT_EQ(readLine(), R"({"id":3,"jsonrpc":"2.0","result":{}})");

    // A message exactly at the limit is still read.
    std::string atLimit = R"({"jsonrpc":"2.0","id":4,"method":"ping","params":{"pad":"")";
    atLimit.insert(atLimit.size() - 1, static_cast<size_t>(RequestFramer::maximumBodyBytes) - atLimit.size() - 2, 'y');
    atLimit += "}}";
    ASSERT_EQ(atLimit.size(), static_cast<size_t>(RequestFramer::maximumBodyBytes));
    std::thread limitWriter([&] { write(atLimit + "\n"); });
    EXPECT_EQ(readLine(), R"({"id":4,"jsonrpc":"2.0","result":{}})");
    limitWriter.join();

    // The last message needs no line break: the end of the input ends it, its answer still
    // goes out, and then the end is reported, off the queue.
    write(R"({"jsonrpc":"2.0","id":5,"method":"ping"})");
    ::close(hostWrites);
    hostWrites = -1;
    auto done = ended->get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(done.get());
    EXPECT_EQ(readLine(), R"({"id":5,"jsonrpc":"2.0","result":{}})");
    queue.sync([] {});
    EXPECT_EQ(served->load(), 7); // every message, the notification and the refusals included
}

}
