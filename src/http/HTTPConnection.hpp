#pragma once

#include "http/HTTPMessage.hpp"
#include "http/RequestFramer.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    void respond(HTTPResponse response);
    // Writes the bytes, which must stay alive until the write completes, then closes.
    void send(std::string_view bytes);
    // Writes the answer in `wire_` from `start`, with the texts it leaves to its body.
    void sendAnswer(std::size_t start);
    // The answer is written, or could not be: its memory goes, then the connection closes.
    void sent(const std::error_code& error);
    void drainThenClose();
    void discardInput();
    void finish();

    asio::ip::tcp::socket socket_;
    HTTPHandler handler_;
    std::string buffer_;
    RequestFramer framer_;
    std::array<char, RequestFramer::maximumHeadBytes> chunk_;
    // The answer on its way: its bytes, and its body, which holds the texts spliced into them.
    std::string wire_;
    HTTPResponse answer_;
    std::vector<JsonSplice> splices_;
    asio::steady_timer lingerDeadline_;
};
