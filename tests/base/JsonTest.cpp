#include "base/Base64.hpp"
#include "base/Json.hpp"
#include "base/Text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

TEST(JsonWriter, WritesCompactTextWithEscapedSlashes)
{
    const struct {
        Json value;
        const char* text;
    } cases[] = {
        {Json::object(), "{}"},
        {Json::array(), "[]"},
        {Json(nullptr), "null"},
        {Json(true), "true"},
        {Json(42), "42"},
        {Json(-7), "-7"},
        {Json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
        {Json(2.0), "2.0"},
        {Json(0.1), "0.1"},
        {Json(1e300), "1e+300"},
        {Json("no route GET /status"), "\"no route GET \\/status\""},
        {Json("quote\" back\\ tab\t nl\n cr\r bs\b ff\f"), "\"quote\\\" back\\\\ tab\\t nl\\n cr\\r bs\\b ff\\f\""},
        {Json(std::string("nul\0x\x1f", 6)), "\"nul\\u0000x\\u001f\""},
        {Json("é漢😀"), "\"é漢😀\""},
        {Json{{"a", Json::array({1, "x", false})}}, "{\"a\":[1,\"x\",false]}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(writeJson(c.value), c.text) << c.text;
}

TEST(JsonWriter, DoublesReadBackExactly)
{
    for (double value : {0.1 + 0.2, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, -2.5, 1512.0 / 982.0}) {
        const auto text = writeJson(Json(value));
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

TEST(JsonWriter, RefusesWhatJsonCannotCarry)
{
    EXPECT_THROW(writeJson(Json(std::numeric_limits<double>::quiet_NaN())), std::invalid_argument);
    EXPECT_THROW(writeJson(Json{{"x", std::numeric_limits<double>::infinity()}}), std::invalid_argument);
    EXPECT_THROW(writeJson(Json(std::string("\xff"))), std::invalid_argument);
    EXPECT_THROW(writeJson(Json(std::string("\xc3"))), std::invalid_argument);    // cut short
    EXPECT_THROW(writeJson(Json(std::string("\xed\xa0\x80"))), std::invalid_argument); // surrogate
}

TEST(JsonWriter, CopiesLargeStringsWhole)
{
    std::string picture(3'000'000, 'A');
    picture[1'234'567] = '/';
    const auto text = writeJson(Json{{"image", picture}});
    EXPECT_EQ(text.size(), picture.size() + 1 + std::string("{\"image\":\"\"}").size());
    EXPECT_EQ(text.substr(10 + 1'234'567, 2), "\\/");
}

TEST(JsonWriter, StringsMatchAReferenceWhateverWhereTheEscapesFall)
{
    // The writer skips plain bytes in blocks; escapes and multi-byte characters must come
    // out right wherever they fall against those blocks, and bad UTF-8 must be found there too.
    const std::string pieces[] = {"a", "Z", "/", "\"", "\\", "\x01", "\x1f", "\n", " ", "~", "é", "漢", "😀"};
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 60);
        for (int i = 0; i < count; ++i)
            text += random() % 4 ? pieces[random() % 2] : pieces[random() % std::size(pieces)];
        std::string expected;
        for (char c : Json(text).dump()) // the library's writer, which leaves "/" alone
            expected += c == '/' ? std::string("\\/") : std::string(1, c);
        ASSERT_EQ(writeJson(Json(text)), expected) << text;

        if (!text.empty()) {
            std::string broken = text;
            broken.insert(random() % broken.size(), 1, static_cast<char>(0x80 + random() % 0x40));
            if (!isValidUTF8(broken)) {
                EXPECT_THROW(writeJson(Json(broken)), std::invalid_argument) << broken;
            }
        }
    }
}

TEST(JsonReader, AcceptsJsonAndRejectsTheRest)
{
    using namespace std::string_literals;
    EXPECT_TRUE(readJson("{\"a\":1}"));
    EXPECT_TRUE(readJson(" [1,2] \r\n\t"));
    EXPECT_TRUE(readJson("\"bare\""));
    EXPECT_TRUE(readJson("{\"a\":\"\\u0000\"}")); // an escaped NUL is a character like any other
    const std::string bad[] = {
        "", " ", "{", "{'a':1}", "{\"a\":1,}", "nan", "{\"a\":01}", "{} x", "\xff", "{\"a\":\"\xc3\"}",
        // The parser alone would stop at a NUL and take what came before it.
        "{\"a\":1}\0{\"b\":"s, "{}\0"s, "\0{}"s, "{\"a\":\"x\0y\"}"s, "{\"a\":1}\n\0"s,
    };
    for (const auto& text : bad)
        EXPECT_FALSE(readJson(text)) << testing::PrintToString(text);
}

TEST(JsonReader, NestingIsBounded)
{
    const auto nested = [](int depth, const std::string& open, const std::string& inner, const std::string& close) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += open;
        text += inner;
        for (int i = 0; i < depth; ++i)
            text += close;
        return text;
    };
    EXPECT_TRUE(readJson(nested(maximumReadDepth, "[", "", "]")));
    EXPECT_TRUE(readJson(nested(maximumReadDepth - 1, "{\"k\":", "[]", "}")));
    for (const int depth : {maximumReadDepth + 1, 100'000})
        EXPECT_FALSE(readJson(nested(depth, "[", "", "]"))) << depth;
    EXPECT_FALSE(readJson(nested(maximumReadDepth, "{\"k\":", "{}", "}")));
    EXPECT_FALSE(readJson("{\"keys\":" + nested(100'000, "[", "", "]") + "}"));
    // Brackets inside strings, escaped quotes included, are text, not nesting.
    const std::string brackets(1000, '[');
    EXPECT_TRUE(readJson("{\"a\":\"" + brackets + "\",\"b\":\"\\\"" + brackets + "\"}"));
}

TEST(JsonWriter, NestingIsBounded)
{
    Json value = Json::array();
    for (int depth = 1; depth < maximumWriteDepth; ++depth)
        value = Json::array({std::move(value)});
    EXPECT_EQ(writeJson(value).size(), 2u * maximumWriteDepth);
    value = Json::array({std::move(value)});
    EXPECT_THROW(writeJson(value), std::invalid_argument);
}

TEST(Base64, StandardAlphabetWithPadding)
{
    const struct {
        std::string in;
        const char* out;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                 {"\xff\xfe\xfd", "//79"}, {std::string("\0\0\0\xfb\xff", 5), "AAAA+/8="}};
    for (const auto& c : cases)
        EXPECT_EQ(base64(reinterpret_cast<const unsigned char*>(c.in.data()), c.in.size()), c.out);

    // Every value of 12 bits in both halves of a group of three bytes, against six bits at
    // a time taken from a bit queue.
    std::vector<unsigned char> bytes;
    for (unsigned value = 0; value < 4096; ++value) {
        const unsigned group = value << 12 | (4095 - value);
        bytes.insert(bytes.end(), {static_cast<unsigned char>(group >> 16), static_cast<unsigned char>(group >> 8),
                                   static_cast<unsigned char>(group)});
    }
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string expected;
    unsigned queue = 0;
    int bits = 0;
    for (const unsigned char byte : bytes) {
        queue = (queue << 8 | byte) & 0xffff;
        for (bits += 8; bits >= 6; bits -= 6)
            expected += alphabet[(queue >> (bits - 6)) & 63];
    }
    EXPECT_EQ(base64(bytes.data(), bytes.size()), expected);
}

TEST(JsonWriter, BinaryIsWrittenAsTheStringOfItsBase64)
{
    // Against the Base64 text written as a string: every length's padding and the edges of
    // the twenty-four-byte turns, slashes at every place in a group (0xff bytes give "////"), and
    // every 12-bit value in both halves.
    std::vector<std::vector<std::uint8_t>> inputs;
    for (std::size_t length = 0; length <= 57; ++length)
        for (const std::uint8_t fill : {0x00, 0xff, 0xfb, 0x3f})
            inputs.emplace_back(length, fill);
    std::vector<std::uint8_t> every;
    for (unsigned value = 0; value < 4096; ++value) {
        const unsigned group = value << 12 | (4095 - value);
        every.insert(every.end(), {static_cast<std::uint8_t>(group >> 16), static_cast<std::uint8_t>(group >> 8),
                                   static_cast<std::uint8_t>(group)});
    }
    for (std::size_t cut = 0; cut < 3; ++cut)
        inputs.emplace_back(every.begin(), every.end() - static_cast<std::ptrdiff_t>(cut));
    for (const auto& bytes : inputs) {
        const Json asText = {{"base64", base64(bytes.data(), bytes.size())}};
        const Json asBinary = {{"base64", Json::binary(bytes)}};
        EXPECT_EQ(writeJson(asBinary), writeJson(asText)) << bytes.size();
    }
}

TEST(JsonWriter, APictureAnswerIsWrittenWithoutGrowingTwice)
{
    // The members after a picture's text must not make the answer's string grow again: it
    // would take room for twice the text and copy it (10 MB more for a large screen's PNG).
    const Json answer = {{"base64", Json::binary(std::vector<std::uint8_t>(3 << 20, 0xff))},
                         {"capture", "x11"}, {"height", 1080}, {"mime", "image/png"}, {"scale", 1.0},
                         {"width", 1920}};
    std::string out(200, ' ');
    writeJson(answer, out);
    EXPECT_LT(out.capacity(), out.size() + out.size() / 100);
}

TEST(JsonWriter, BinaryMarkedAsBase64TextIsWrittenAsItStands)
{
    // An encoder's text, made ahead: written between quotes, escaped slashes and all, not
    // encoded again.
    const std::string text = R"(iVBORw0K\/\/8=)";
    const Json value = {{"base64", Json::binary(std::vector<std::uint8_t>(text.begin(), text.end()), base64TextSubtype)}};
    EXPECT_EQ(writeJson(value), R"({"base64":")" + text + R"("})");
}
