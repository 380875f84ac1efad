#include "http/HTTPServer.hpp"

#include "base/SerialQueue.hpp"
#include "http/HTTPConnection.hpp"

#include <asio/ip/address_v4.hpp>

#include <cerrno>
#include <chrono>

namespace {

// Errors of accept() that say nothing about the listener itself: a connection died before
// it was taken, or the process is short of descriptors or memory for the moment.
bool isPassing(const std::error_code& error)
{
    if (error.category() != std::system_category() && error.category() != asio::error::get_system_category())
        return false;
    switch (error.value()) {
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case ECONNABORTED: case EINTR:
    case EAGAIN: case EPROTO: case EPERM: case ENOSR: case ETIMEDOUT: case EHOSTUNREACH:
    case ENETUNREACH: case ENETDOWN: case ENONET: case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

constexpr auto acceptBackoff = std::chrono::milliseconds(50);

} // namespace

HTTPServer::HTTPServer(SerialQueue& queue, HTTPHandler handler)
    : queue_(queue), handler_(std::move(handler)), acceptor_(queue.context()), backoff_(queue.context())
{
    acceptor_.open(asio::ip::tcp::v4());
}

void HTTPServer::start()
{
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    queue_.async([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        // Binding and listening are the listener's start: their failure is its failed state.
        std::error_code error;
        const asio::ip::tcp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
        self->acceptor_.bind(loopback, error);
        if (!error)
            self->acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            if (self->onFailure)
                self->onFailure("the listener failed: " + error.message());
            return;
        }
        const auto port = self->acceptor_.local_endpoint(error).port();
        if (error || port == 0) {
            if (self->onFailure)
                self->onFailure("the listener is ready but has no port");
            return;
        }
        if (self->onReady)
            self->onReady(port);
        self->accept();
    });
}

void HTTPServer::accept()
{
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    acceptor_.async_accept([weak](const std::error_code& error, asio::ip::tcp::socket socket) {
        auto self = weak.lock();
        if (!self)
            return;
        if (error) {
            self->acceptFailed(error);
            return;
        }
        try {
            std::make_shared<HTTPConnection>(std::move(socket), self->handler_)->start();
        } catch (...) {
            // Out of memory for this one connection, which closes unanswered; the listener
            // goes on for the next.
        }
        self->accept();
    });
}

void HTTPServer::acceptFailed(const std::error_code& error)
{
    if (isPassing(error)) {
        std::weak_ptr<HTTPServer> weak = weak_from_this();
        backoff_.expires_after(acceptBackoff);
        backoff_.async_wait([weak](const std::error_code& waitError) {
            if (auto self = weak.lock(); self && !waitError)
                self->accept();
        });
        return;
    }
    if (!onFailure)
        return;
    if (error == asio::error::operation_aborted)
        onFailure("the listener was cancelled");
    else
        onFailure("the listener failed: " + error.message());
}
