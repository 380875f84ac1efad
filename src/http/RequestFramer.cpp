#include "http/RequestFramer.hpp"

#include "base/Text.hpp"

#include <algorithm>
#include <vector>

namespace {

std::vector<std::string_view> splitLines(std::string_view head)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (true) {
        const size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(head.substr(start));
            return lines;
        }
        lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
}

std::vector<std::string_view> splitAtSpaces(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t start = 0;
    while (start < line.size()) {
        const size_t end = std::min(line.find(' ', start), line.size());
        if (end > start)
            words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

std::string lowerCasedASCII(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Splits at the first colon that has something before it; colons leading the line are
// dropped. A line without a value after that colon carries no header.
void addHeader(std::string_view line, std::map<std::string, std::string>& headers)
{
    const size_t nameStart = line.find_first_not_of(':');
    if (nameStart == std::string_view::npos)
        return;
    const size_t colon = line.find(':', nameStart);
    if (colon == std::string_view::npos || colon + 1 == line.size())
        return;
    const std::string name = lowerCasedASCII(trimSpacesAndTabs(line.substr(nameStart, colon - nameStart)));
    headers[name] = std::string(trimSpacesAndTabs(line.substr(colon + 1)));
}

} // namespace

RequestFramer::Result RequestFramer::examine(std::string_view buffer)
{
    // The blank line may straddle the previous chunk's end: step back three bytes.
    const size_t from = searchedTo_ >= 3 ? searchedTo_ - 3 : 0;
    const size_t blankLine = buffer.find("\r\n\r\n", from);
    if (blankLine == std::string_view::npos) {
        searchedTo_ = buffer.size();
        if (buffer.size() > maximumHeadBytes)
            return errorResponse(431, "bad_request", "the request headers are too large");
        return Incomplete{};
    }
    searchedTo_ = blankLine;

    const std::string_view head = buffer.substr(0, blankLine);
    if (!isValidUTF8(head))
        return errorResponse(400, "bad_request", "the request head is not UTF-8");

    const auto lines = splitLines(head);
    const auto requestLine = splitAtSpaces(lines.front());
    if (requestLine.size() < 2)
        return errorResponse(400, "bad_request", "no request line");

    HTTPRequest request;
    for (size_t i = 1; i < lines.size(); ++i)
        addHeader(lines[i], request.headers);

    std::int64_t declared = 0;
    if (auto found = request.headers.find("content-length"); found != request.headers.end())
        declared = parseDecimalInt64(found->second).value_or(0);
    if (declared < 0)
        return errorResponse(400, "bad_request", "the request body length is negative");
    if (declared > maximumBodyBytes)
        return errorResponse(413, "too_large", "the request body is over 8 MB");

    const size_t bodyStart = blankLine + 4;
    const size_t bodyLength = static_cast<size_t>(declared);
    if (buffer.size() - bodyStart < bodyLength)
        return Incomplete{};

    request.method = std::string(requestLine[0]);
    const std::string_view target = requestLine[1];
    request.path = std::string(target.substr(0, target.find('?')));
    request.body = std::string(buffer.substr(bodyStart, bodyLength));
    return request;
}
