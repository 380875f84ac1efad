#include "http/HTTPConnection.hpp"

#include <asio/buffer.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <optional>

namespace {
// After answering, unread bytes from the client are read and dropped for at most this long
// before closing: closing a socket with unread input resets the connection, and a reset
// can destroy the answer before the client has read it (a 413 sent before the body came).
constexpr auto lingerTime = std::chrono::seconds(2);
}

HTTPConnection::HTTPConnection(asio::ip::tcp::socket socket, HTTPHandler handler)
    : socket_(std::move(socket)), handler_(std::move(handler)), lingerDeadline_(socket_.get_executor())
{
}

void HTTPConnection::start()
{
    receive();
}

void HTTPConnection::receive()
{
    socket_.async_read_some(asio::buffer(chunk_),
        [self = shared_from_this()](const std::error_code& error, size_t received) {
            self->buffer_.append(self->chunk_.data(), received);
            const bool endOfStream = error == asio::error::eof;
            if (error && !endOfStream) {
                self->finish();
                return;
            }
            if (self->respondIfComplete())
                return;
            if (endOfStream) {
                self->finish();
                return;
            }
            self->receive();
        });
}

bool HTTPConnection::respondIfComplete()
{
    auto result = framer_.examine(buffer_);
    if (std::holds_alternative<RequestFramer::Incomplete>(result))
        return false;
    if (auto* request = std::get_if<HTTPRequest>(&result)) {
        // Release the buffer before the handler runs: a large body is held once, in the request.
        std::string().swap(buffer_);
        std::optional<HTTPResponse> response;
        try {
            response = handler_(*request);
        } catch (...) {
            // The handler answers everything it can; what still escapes it (memory running
            // out, say) must not end the process, and the client still gets an answer.
        }
        if (response)
            respond(std::move(*response));
        else
            send(internalErrorWire());
    } else {
        respond(std::move(std::get<HTTPResponse>(result)));
    }
    return true;
}

void HTTPConnection::respond(HTTPResponse response)
{
    answer_ = std::move(response);
    std::size_t start = 0;
    try {
        start = writeResponse(answer_, wire_, &splices_);
    } catch (...) {
        std::string().swap(wire_);
        splices_.clear();
        answer_ = {};
        send(internalErrorWire());
        return;
    }
    sendAnswer(start);
}

void HTTPConnection::send(std::string_view bytes)
{
    asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
        [self = shared_from_this()](const std::error_code& error, size_t) { self->sent(error); });
}

void HTTPConnection::sendAnswer(std::size_t start)
{
    // The answer's own bytes around each spliced text, as one gathered write.
    std::vector<asio::const_buffer> pieces;
    pieces.reserve(2 * splices_.size() + 1);
    for (const JsonSplice& splice : splices_) {
        pieces.push_back(asio::buffer(wire_.data() + start, splice.at - start));
        pieces.push_back(asio::buffer(splice.bytes.data(), splice.bytes.size()));
        start = splice.at;
    }
    pieces.push_back(asio::buffer(wire_.data() + start, wire_.size() - start));
    asio::async_write(socket_, pieces,
        [self = shared_from_this()](const std::error_code& error, size_t) { self->sent(error); });
}

void HTTPConnection::sent(const std::error_code& error)
{
    std::string().swap(wire_);
    splices_ = {};
    answer_ = {};
    if (error) {
        finish();
        return;
    }
    drainThenClose();
}

void HTTPConnection::drainThenClose()
{
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    std::string().swap(buffer_);
    lingerDeadline_.expires_after(lingerTime);
    lingerDeadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error)
            self->finish();
    });
    discardInput();
}

void HTTPConnection::discardInput()
{
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const std::error_code& error, size_t) {
        if (error)
            self->finish();
        else
            self->discardInput();
    });
}

void HTTPConnection::finish()
{
    std::error_code ignored;
    lingerDeadline_.cancel();
    socket_.close(ignored);
}
