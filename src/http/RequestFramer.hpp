#pragma once

#include "http/HTTPMessage.hpp"

#include <cstddef>
#include <string_view>
#include <variant>

// Decides, after every chunk, whether the bytes received so far hold one whole request.
// It keeps only how far the search for the end of the head has got, so a head that arrives
// one byte at a time is scanned once, not once per byte.
class RequestFramer {
public:
    static constexpr size_t maximumHeadBytes = 65'536;
    static constexpr std::int64_t maximumBodyBytes = 8 * 1024 * 1024;

    struct Incomplete {};
    // Either the request for the handler or the transport's own error answer.
    using Result = std::variant<Incomplete, HTTPRequest, HTTPResponse>;

    // `buffer` is everything received so far; it only ever grows between calls.
    Result examine(std::string_view buffer);

private:
    size_t searchedTo_ = 0;
};
