#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Cuts a byte stream into messages of one line each, as MCP's standard input carries them.
// A line is kept only up to `limit` bytes: a longer one is reported as too long the moment
// it passes the limit, and the rest of it is dropped as it arrives, so a sender that never
// ends its line costs no memory. Empty lines are skipped; a "\r" before the "\n" is dropped.
class LineFramer {
public:
    struct TooLong {};
    using Line = std::variant<std::string, TooLong>;

    explicit LineFramer(size_t limit);

    // The lines that these bytes complete, in order.
    std::vector<Line> feed(std::string_view bytes);
    // At the end of the stream: the last line when it had no line break.
    std::optional<Line> finish();

private:
    void complete(std::vector<Line>& lines);

    size_t limit_;
    std::string partial_;
    // The current line passed the limit: drop up to its end.
    bool dropping_ = false;
};
