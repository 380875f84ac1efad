#include "mcp/LineFramer.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

// What the lines are, "<too long>" for a refused one, with the end of the stream included.
std::vector<std::string> shown(LineFramer& framer, const std::vector<std::string_view>& pieces)
{
    std::vector<std::string> out;
    const auto show = [&](LineFramer::Line& line) {
        if (auto* text = std::get_if<std::string>(&line))
            out.push_back(*text);
        else
            out.push_back("<too long>");
    };
    for (auto piece : pieces)
        for (auto& line : framer.feed(piece))
            show(line);
    if (auto last = framer.finish())
        show(*last);
    return out;
}

// Every stream is fed whole, byte by byte and split at random points, and must come out
// the same: where a read ends says nothing about where a message ends.
TEST(LineFramer, TheSameLinesHoweverTheBytesArrive)
{
    const struct {
        std::string stream;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\n\n\r\n", {}},
        {"{}\n", {"{}"}},
        {"{}", {"{}"}}, // the last line needs no line break
        {"a\nb\r\nc", {"a", "b", "c"}},
        {"a\r\r\n", {"a\r"}}, // only the one "\r" before the line break is the transport's
        {"12345678\n", {"12345678"}}, // exactly the limit
        {"12345678\r\n", {"12345678"}},
        {"123456789\nok\n", {"<too long>", "ok"}},
        {"123456789", {"<too long>"}},
        {"123456789\r\nok", {"<too long>", "ok"}},
        {"1234567890123456789012345\nok\n12345678\n", {"<too long>", "ok", "12345678"}},
        {"a\n123456789012\n123456789012\nb", {"a", "<too long>", "<too long>", "b"}},
    };
    std::mt19937 random(21);
    for (const auto& c : cases) {
        LineFramer whole(8);
        EXPECT_EQ(shown(whole, {c.stream}), c.lines) << c.stream;

        LineFramer byByte(8);
        std::vector<std::string_view> bytes;
        for (size_t i = 0; i < c.stream.size(); ++i)
            bytes.push_back(std::string_view(c.stream).substr(i, 1));
        EXPECT_EQ(shown(byByte, bytes), c.lines) << c.stream;

        for (int round = 0; round < 20; ++round) {
            LineFramer split(8);
            std::vector<std::string_view> pieces;
            std::string_view rest = c.stream;
            while (!rest.empty()) {
                const size_t size = std::uniform_int_distribution<size_t>(1, rest.size())(random);
                pieces.push_back(rest.substr(0, size));
                rest.remove_prefix(size);
            }
            EXPECT_EQ(shown(split, pieces), c.lines) << c.stream;
        }
    }
}

// A line that never ends is refused once and dropped as it comes: nothing of it is kept.
TEST(LineFramer, AnEndlessLineIsRefusedOnceAndHoldsNoMemory)
{
    LineFramer framer(1024);
    const std::string chunk(4096, 'x');
    size_t refusals = 0;
    for (int i = 0; i < 1000; ++i)
        refusals += framer.feed(chunk).size();
    EXPECT_EQ(refusals, 1u);
    const auto after = framer.feed("still the same line\n{\"next\":1}\n");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(std::get<std::string>(after[0]), "{\"next\":1}");
}

}
