#include "base/Text.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

TEST(Text, Utf8Validation)
{
    for (const char* good : {"", "plain", "é", "漢字", "😀", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(isValidUTF8(good)) << good;
    for (const char* bad : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8", "a\xc3"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}

TEST(Text, OutsideTextBecomesValidUTF8)
{
    // Each ill-formed sequence, as far as it could have gone, is one U+FFFD.
    const struct {
        std::string bytes;
        std::string whole;
        std::string cut;
    } cases[] = {
        {"plain é 漢 😀", "plain é 漢 😀", "plain é 漢 😀"},
        {"caf\xe9!", "caf\uFFFD!", "caf\uFFFD!"},                        // Latin-1, not UTF-8
        {"a\xff" "b\x80" "c", "a\uFFFDb\uFFFDc", "a\uFFFDb\uFFFDc"},         // bytes that start nothing
        {"\xc0\xaf/", "\uFFFD\uFFFD/", "\uFFFD\uFFFD/"},               // an overlong slash
        {"\xed\xa0\x80x", "\uFFFD\uFFFD\uFFFDx", "\uFFFD\uFFFD\uFFFDx"}, // a surrogate
        {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD", "\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\xe2\x82x", "\uFFFDx", "\uFFFDx"},                           // a character left unfinished inside
        {"ok\xe2\x82", "ok\uFFFD", "ok"},                               // ... or at a read limit
        {"ok\xf0\x9f\x98", "ok\uFFFD", "ok"},
        {"ok\xc3", "ok\uFFFD", "ok"},
        {"ok\xff", "ok\uFFFD", "ok\uFFFD"},                             // never the start of a character
        {"ok\xe0\x80", "ok\uFFFD\uFFFD", "ok\uFFFD\uFFFD"},           // could not have been one
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validUTF8(c.bytes), c.whole) << testing::PrintToString(c.bytes);
        EXPECT_EQ(validUTF8(c.bytes, Ending::cut), c.cut) << testing::PrintToString(c.bytes);
        EXPECT_TRUE(isValidUTF8(validUTF8(c.bytes)));
    }
}

TEST(Text, TrimsOnlyTheChosenCharactersAtBothEnds)
{
    EXPECT_EQ(trimWhiteSpaceAndNewlines(" \t\r\n tok en \n\u2028\u00a0"), "tok en");
    EXPECT_EQ(trimWhiteSpaceAndNewlines(" \n\r\n "), "");
    EXPECT_EQ(trimSpacesAndTabs("\t\u3000value\u00a0"), "value");
    EXPECT_EQ(trimSpacesAndTabs("\nvalue\r"), "\nvalue\r"); // line breaks are not spaces here
    EXPECT_EQ(trimSpacesAndTabs("é "), "é");
}

TEST(Text, DecimalIntegers)
{
    EXPECT_EQ(parseDecimalInt32("+42"), 42);
    EXPECT_EQ(parseDecimalInt32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parseDecimalInt32("2147483647"), INT32_MAX);
    EXPECT_EQ(parseDecimalInt64("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"", "+", "-", "2147483648", "42abc", " 42", "42 ", "0x10", "4 2"})
        EXPECT_FALSE(parseDecimalInt32(bad)) << bad;
    EXPECT_FALSE(parseDecimalInt64("9223372036854775808"));
    EXPECT_FALSE(parseDecimalInt64("99999999999999999999999"));
}

TEST(Text, CLocaleDoublesWhateverTheProcessLocale)
{
    // A locale with a decimal comma must not change how "3.5" reads.
    const char* previous = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(parseCDouble("3.5"), 3.5);
    EXPECT_EQ(parseCDouble("-1e3"), -1000.0);
    EXPECT_EQ(parseCDouble("0x1p4"), 16.0);
    EXPECT_TRUE(std::isinf(*parseCDouble("INF")));
    EXPECT_TRUE(std::isnan(*parseCDouble("nan")));
    for (const char* bad : {"", " 3", "3 ", "\t3", "3,5", "3.5x", "abc"})
        EXPECT_FALSE(parseCDouble(bad)) << bad;
    EXPECT_FALSE(parseCDouble(std::string("3\0" "5", 3)));
    if (previous)
        std::setlocale(LC_NUMERIC, "C");
}

TEST(Text, ConstantTimeEqualsIsEquality)
{
    EXPECT_TRUE(constantTimeEquals("Bearer a b", "Bearer a b"));
    EXPECT_FALSE(constantTimeEquals("Bearer a", "Bearer b"));
    EXPECT_FALSE(constantTimeEquals("Bearer a", "Bearer ab"));
    EXPECT_TRUE(constantTimeEquals("", ""));
}
