#pragma once

#include "http/HTTPMessage.hpp"
#include "http/RequestFramer.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <memory>
#include <string>
#include <string_view>

// Serves one accepted connection: reads one request, answers it, closes. Every pending
// operation holds the connection, so it lives exactly until it is finished, with no list of
// connections anywhere. There is no idle time-out: a silent client keeps its connection.
class HTTPConnection : public std::enable_shared_from_this<HTTPConnection> {
public:
    HTTPConnection(asio::ip::tcp::socket socket, HTTPHandler handler);
    void start();

private:
    void receive();
    // True when an answer is on its way, for a whole request or a framing error.
    bool respondIfComplete();
    void respond(const HTTPResponse& response);
    // Writes the bytes, which must stay alive until the write completes, then closes.
    void send(std::string_view bytes);
    void drainThenClose();
    void discardInput();
    void finish();

    asio::ip::tcp::socket socket_;
    HTTPHandler handler_;
    std::string buffer_;
    RequestFramer framer_;
    std::array<char, RequestFramer::maximumHeadBytes> chunk_;
    std::string wire_;
    asio::steady_timer lingerDeadline_;
};
