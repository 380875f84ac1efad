#include "base/SerialQueue.hpp"
#include "http/HTTPServer.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <limits>
#include <new>
#include <stdexcept>

namespace {

// One request over a real loopback socket; everything the server sent until it closed.
std::string roundTrip(std::uint16_t port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect");
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        answer.append(chunk, static_cast<size_t>(n));
    ::close(fd);
    return answer;
}

} // namespace

TEST(HTTPServer, NothingAHandlerThrowsEndsTheServer)
{
    // Each path throws something else; the server answers every one with the fixed 500 and
    // goes on serving.
    const auto handler = [](const HTTPRequest& request) -> HTTPResponse {
        if (request.path == "/oom")
            throw std::bad_alloc();
        if (request.path == "/error")
            throw std::runtime_error("kaput");
        if (request.path == "/int")
            throw 42;
        if (request.path == "/nan")
            return HTTPResponse{200, Json{{"x", std::numeric_limits<double>::quiet_NaN()}}};
        return HTTPResponse{200, Json{{"path", request.path}}};
    };
    SerialQueue queue("http-test");
    auto server = std::make_shared<HTTPServer>(queue, handler);
    std::promise<std::uint16_t> ready;
    server->onReady = [&](std::uint16_t port) { ready.set_value(port); };
    server->start();
    const std::uint16_t port = ready.get_future().get();

    const std::string internalError(internalErrorWire());
    for (const char* path : {"/oom", "/error", "/int", "/nan"})
        EXPECT_EQ(roundTrip(port, std::string("GET ") + path + " HTTP/1.1\r\n\r\n"), internalError) << path;
    const std::string answer = roundTrip(port, "GET /fine HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_TRUE(answer.ends_with("\r\n\r\n{\"path\":\"\\/fine\"}")) << answer;

    // A block of the queue that throws does not stop the queue either.
    queue.async([] { throw std::bad_alloc(); });
    EXPECT_EQ(roundTrip(port, "GET /again HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    queue.sync([&] { server.reset(); });
}
