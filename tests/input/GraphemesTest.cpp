#include "input/Graphemes.hpp"

#include <gtest/gtest.h>

namespace {

std::vector<std::u32string> split(std::string_view utf8)
{
    const std::u32string text = Graphemes::decodeUTF8(utf8);
    std::vector<std::u32string> result;
    for (const auto cluster : Graphemes::clusters(text))
        result.emplace_back(cluster);
    return result;
}

TEST(Graphemes, Boundaries)
{
    struct Case {
        const char* name;
        const char* text;
        std::vector<std::u32string> clusters;
    };
    const Case cases[] = {
        {"ascii", "ab", {U"a", U"b"}},
        {"crlf is one", "a\r\nb", {U"a", U"\r\n", U"b"}},
        {"lf cr is two", "\n\r", {U"\n", U"\r"}},
        {"combining marks", "e\xCC\x81\xCC\xA3x", {U"e\u0301\u0323", U"x"}},
        {"mark after line break stands alone", "\n\xCC\x81", {U"\n", U"\u0301"}},
        {"variation selector", "\xE2\x9D\xA4\xEF\xB8\x8F!", {U"\u2764\uFE0F", U"!"}},
        {"skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", {U"\U0001F44D\U0001F3FD"}},
        {"zwj family",
         "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7" "a",
         {U"\U0001F468\u200D\U0001F469\u200D\U0001F467", U"a"}},
        {"zwj between letters does not join", "a\xE2\x80\x8D" "b", {U"a\u200D", U"b"}},
        {"flags pair up", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xAF",
         {U"\U0001F1E9\U0001F1EA", U"\U0001F1EB\U0001F1F7", U"\U0001F1EF"}},
        {"hangul jamo", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", {U"\u1100\u1161\u11A8"}},
        {"tag sequence",
         "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7\xF3\xA0\x81\xA2\xF3\xA0\x81\xBF",
         {U"\U0001F3F4\U000E0067\U000E0062\U000E007F"}},
        {"malformed bytes", "a\xFF\xC3", {U"a", U"\uFFFD", U"\uFFFD"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(split(c.text), c.clusters);
    }
}

TEST(Graphemes, UTF16)
{
    std::u16string out;
    Graphemes::appendUTF16(U"a\u00E9\U0001F600", out);
    EXPECT_EQ(out, u"a\u00E9\U0001F600");
    EXPECT_EQ(out.size(), 4u);
}

} // namespace
