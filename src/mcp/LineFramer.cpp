#include "mcp/LineFramer.hpp"

LineFramer::LineFramer(size_t limit)
    : limit_(limit)
{
}

std::vector<LineFramer::Line> LineFramer::feed(std::string_view bytes)
{
    std::vector<Line> lines;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!dropping_) {
            // Room for the "\r" that may end the line, which is not the message's.
            if (partial_.size() + piece.size() > limit_ + 1) {
                std::string().swap(partial_);
                dropping_ = true;
                lines.emplace_back(TooLong{});
            } else {
                partial_.append(piece);
            }
        }
        if (end == std::string_view::npos)
            break;
        complete(lines);
        bytes.remove_prefix(end + 1);
    }
    return lines;
}

std::optional<LineFramer::Line> LineFramer::finish()
{
    std::vector<Line> lines;
    complete(lines);
    if (lines.empty())
        return std::nullopt;
    return std::move(lines.front());
}

void LineFramer::complete(std::vector<Line>& lines)
{
    if (dropping_) {
        dropping_ = false;
        return;
    }
    if (!partial_.empty() && partial_.back() == '\r')
        partial_.pop_back();
    if (partial_.size() > limit_) {
        std::string().swap(partial_);
        lines.emplace_back(TooLong{});
        return;
    }
    if (!partial_.empty())
        lines.emplace_back(std::move(partial_));
    partial_.clear();
}
