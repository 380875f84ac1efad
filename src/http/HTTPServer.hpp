#pragma once

#include "http/HTTPMessage.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class SerialQueue;

// The process's one TCP listener, on 127.0.0.1 and a port the system picks. Every event of
// the listener and of its connections runs on `queue`, and the handler is called there
// synchronously: requests are served one at a time.
class HTTPServer : public std::enable_shared_from_this<HTTPServer> {
public:
    // Creates the listener's socket. Throws std::system_error when the system refuses; no
    // server exists then.
    HTTPServer(SerialQueue& queue, HTTPHandler handler);

    // Both are called on the queue; set them before start() and leave them alone after.
    std::function<void(std::uint16_t port)> onReady;
    std::function<void(const std::string& message)> onFailure;

    // Binds to 127.0.0.1 on a port the system picks, listens and starts accepting; a
    // failure there goes to onFailure as "the listener failed: ...". The server must be owned by a std::shared_ptr: the queued events
    // hold it weakly and do nothing once it is gone.
    void start();

private:
    void accept();
    void acceptFailed(const std::error_code& error);

    SerialQueue& queue_;
    HTTPHandler handler_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer backoff_;
};
