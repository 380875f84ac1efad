#include "base/Text.hpp"

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <locale.h>

bool isValidUTF8(std::string_view text)
{
    size_t index = 0;
    while (index < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[index]);
        if (lead < 0x80) {
            ++index;
            continue;
        }
        if (!nextCodePoint(text, index))
            return false;
    }
    return true;
}

std::optional<char32_t> nextCodePoint(std::string_view text, size_t& index)
{
    if (index >= text.size())
        return std::nullopt;
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(index);
    if (lead < 0x80) {
        ++index;
        return lead;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (index + length > text.size())
        return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(index + i);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        value = (value << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return std::nullopt;
    index += length;
    return value;
}

namespace {

// How far the bytes from `index` form the start of a well-formed sequence: its whole length
// when they form one, else the length of the part that could still have begun one (at
// least 1), and whether it was the end of the text that stopped it. The ranges of the
// second byte keep out overlong forms, surrogates and values past U+10FFFF.
struct Sequence {
    size_t length;
    bool complete;
    bool unfinished;
};

Sequence sequenceAt(std::string_view text, size_t index)
{
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(index);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80)
        return {1, true, false};
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false, false};
    }
    size_t taken = 1;
    for (; taken < length && index + taken < text.size(); ++taken) {
        const unsigned char next = byte(index + taken);
        if (next < low || next > high)
            return {taken, false, false};
        low = 0x80, high = 0xBF;
    }
    return {taken, taken == length, taken < length};
}

} // namespace

std::string validUTF8(std::string_view bytes, Ending ending)
{
    if (isValidUTF8(bytes))
        return std::string(bytes);
    static constexpr char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    std::string out;
    out.reserve(bytes.size() + 8);
    for (size_t index = 0; index < bytes.size();) {
        const Sequence sequence = sequenceAt(bytes, index);
        if (sequence.complete) {
            out.append(bytes.substr(index, sequence.length));
        } else if (ending == Ending::cut && sequence.unfinished) {
            break; // a character the limit cut in two
        } else {
            out.append(replacement);
        }
        index += sequence.length;
    }
    return out;
}

bool isSpaceSeparator(char32_t c)
{
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F
        || c == 0x205F || c == 0x3000;
}

bool isWhiteSpaceOrNewline(char32_t c)
{
    return isSpaceSeparator(c) || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

namespace {

bool isSpaceOrTab(char32_t c)
{
    return c == '\t' || isSpaceSeparator(c);
}

// Walks back over one UTF-8 code point ending at `end`; returns its start, or nothing when
// the bytes there are not one.
std::optional<size_t> previousCodePointStart(std::string_view text, size_t end)
{
    size_t start = end;
    while (start > 0 && end - start < 4) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80)
            return start;
    }
    return std::nullopt;
}

} // namespace

std::string_view trimUTF8(std::string_view text, bool (*strip)(char32_t))
{
    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = begin;
        auto c = nextCodePoint(text, next);
        if (!c || !strip(*c))
            break;
        begin = next;
    }
    size_t end = text.size();
    while (end > begin) {
        auto start = previousCodePointStart(text, end);
        if (!start || *start < begin)
            break;
        size_t probe = *start;
        auto c = nextCodePoint(text, probe);
        if (!c || probe != end || !strip(*c))
            break;
        end = *start;
    }
    return text.substr(begin, end - begin);
}

std::string_view trimSpacesAndTabs(std::string_view text)
{
    return trimUTF8(text, isSpaceOrTab);
}

std::string_view trimWhiteSpaceAndNewlines(std::string_view text)
{
    return trimUTF8(text, isWhiteSpaceOrNewline);
}

std::optional<std::int64_t> parseDecimalInt64(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9')
            return std::nullopt;
    // Read the magnitude as unsigned so that the most negative value still fits.
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    constexpr std::uint64_t maximum = static_cast<std::uint64_t>(INT64_MAX);
    if (negative) {
        if (magnitude > maximum + 1)
            return std::nullopt;
        return magnitude == maximum + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > maximum)
        return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<std::int32_t> parseDecimalInt32(std::string_view text)
{
    auto value = parseDecimalInt64(text);
    if (!value || *value < INT32_MIN || *value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

std::optional<double> parseCDouble(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    switch (text.front()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
        return std::nullopt;
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string copy(text); // strtod needs a terminator; an inner NUL stops it early
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end != copy.c_str() + copy.size())
        return std::nullopt;
    return value;
}

bool constantTimeEquals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference = difference | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    return difference == 0;
}

void appendUTF8(std::string& text, char32_t c)
{
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xc0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xe0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        text += static_cast<char>(0xf0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (c & 0x3f));
    }
}

std::u32string codePoints(std::u16string_view units)
{
    std::u32string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t ch = units[i];
        if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        out.push_back(ch);
    }
    return out;
}
