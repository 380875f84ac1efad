#include "base/Json.hpp"

#include "base/Base64.hpp"
#include "base/Text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Whether the arrays and objects of JSON text nest at most `limit` deep. Counted before
// parsing, so that a deep body is refused before a single value of it is built. Brackets
// inside strings do not count; for text that is not JSON the answer does not matter, since
// the parser refuses it.
bool nestsWithin(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace

std::optional<Json> readJson(std::string_view text)
{
    // The parser takes a NUL byte for the end of the text, which would let anything after
    // one through unread. No JSON text holds one, inside a string or out.
    if (text.find('\0') != std::string_view::npos || !nestsWithin(text, maximumReadDepth))
        return std::nullopt;
    // No exceptions from the parser: a discarded value marks a parse error.
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

namespace {

// How many bytes each byte takes in a JSON string: 1 as it is, 2 for a two-character
// escape, 6 for \u00XX. Bytes from 0x80 on are copied once their UTF-8 has been checked.
struct EscapeTable {
    unsigned char length[256];
    constexpr EscapeTable() : length()
    {
        for (int c = 0; c < 256; ++c)
            length[c] = c < 0x20 ? 6 : 1;
        for (unsigned char c : {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t'})
            length[c] = 2;
    }
};
constexpr EscapeTable escapes;

// Marks the bytes of an eight-byte word that need an escape or a UTF-8 check: below
// 0x20, from 0x80 on, and '"', '\\' and '/'. Zero when there is none. The borrows of these
// bit tricks can only mark bytes above a true match, so the lowest mark is always exact.
std::uint64_t specialBytes(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    const auto zeroBytes = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t below20 = (word - ones * 0x20) & ~word & highs;
    return (word & highs) | below20 | zeroBytes(word ^ (ones * '"')) | zeroBytes(word ^ (ones * '\\'))
        | zeroBytes(word ^ (ones * '/'));
}

// How many bytes from `at` need nothing done: whole words at a time, then up to the first
// byte that does.
size_t plainRun(const unsigned char* bytes, size_t at, size_t size)
{
    size_t i = at;
#ifdef __SSE2__
    // Sixteen bytes at a time: a byte is special when it equals one of the three, is at
    // most 0x1F, or has its high bit set.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i lastControl = _mm_set1_epi8(0x1F);
    while (i + 16 <= size) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(block, lastControl), lastControl);
        const __m128i named = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                                           _mm_cmpeq_epi8(block, slash));
        const int special = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(control, named), block));
        if (special)
            return i - at + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(special)));
        i += 16;
    }
#endif
    while (i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        const std::uint64_t special = specialBytes(word);
        if (special)
            return i - at + static_cast<size_t>(__builtin_ctzll(special) / 8);
        i += 8;
    }
    while (i < size && bytes[i] < 0x80 && escapes.length[bytes[i]] == 1)
        ++i;
    return i - at;
}

void writeString(std::string_view text, std::string& out)
{
    static constexpr char hex[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // First the exact length, checking the UTF-8 on the way; then one write into place.
    // Multi-megabyte Base64 pictures pass through here, with a slash every 64 bytes or so,
    // so plain runs are measured and copied whole.
    size_t length = 2;
    for (size_t i = 0; i < size;) {
        const size_t run = plainRun(bytes, i, size);
        length += run;
        i += run;
        if (i == size)
            break;
        if (bytes[i] >= 0x80) {
            size_t next = i;
            if (!nextCodePoint(text, next))
                throw std::invalid_argument("a string is not UTF-8");
            length += next - i;
            i = next;
        } else {
            length += escapes.length[bytes[i]];
            ++i;
        }
    }
    const size_t start = out.size();
    out.resize(start + length);
    char* write = out.data() + start;
    *write++ = '"';
    for (size_t i = 0; i < size;) {
        const size_t run = plainRun(bytes, i, size);
        std::memcpy(write, bytes + i, run);
        write += run;
        i += run;
        if (i == size)
            break;
        const unsigned char c = bytes[i++];
        if (escapes.length[c] == 1) { // checked UTF-8, copied as it is
            *write++ = static_cast<char>(c);
            continue;
        }
        *write++ = '\\';
        switch (c) {
        case '"': *write++ = '"'; break;
        case '\\': *write++ = '\\'; break;
        case '/': *write++ = '/'; break;
        case '\b': *write++ = 'b'; break;
        case '\f': *write++ = 'f'; break;
        case '\n': *write++ = 'n'; break;
        case '\r': *write++ = 'r'; break;
        case '\t': *write++ = 't'; break;
        default:
            *write++ = 'u';
            *write++ = '0';
            *write++ = '0';
            *write++ = hex[c >> 4];
            *write++ = hex[c & 0xF];
        }
    }
    *write = '"';
}

template <typename Number>
void writeNumber(Number number, std::string& out)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

void writeDouble(double number, std::string& out)
{
    if (!std::isfinite(number))
        throw std::invalid_argument("JSON has no NaN or infinity");
    const size_t start = out.size();
    writeNumber(number, out);
    // Keep a floating-point number recognisable as one: 2.0 is written "2.0", not "2".
    if (out.find_first_of(".eE", start) == std::string::npos)
        out.append(".0");
}

void write(const Json& value, std::string& out, int depth, std::vector<JsonSplice>* splices)
{
    switch (value.type()) {
    case Json::value_t::null: out.append("null"); break;
    case Json::value_t::boolean: out.append(value.get<bool>() ? "true" : "false"); break;
    case Json::value_t::number_integer: writeNumber(value.get<std::int64_t>(), out); break;
    case Json::value_t::number_unsigned: writeNumber(value.get<std::uint64_t>(), out); break;
    case Json::value_t::number_float: writeDouble(value.get<double>(), out); break;
    case Json::value_t::string: writeString(value.get_ref<const std::string&>(), out); break;
    case Json::value_t::array: {
        if (depth >= maximumWriteDepth)
            throw std::invalid_argument("JSON nested too deep");
        out.push_back('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out.push_back(',');
            first = false;
            write(element, out, depth + 1, splices);
        }
        out.push_back(']');
        break;
    }
    case Json::value_t::object: {
        if (depth >= maximumWriteDepth)
            throw std::invalid_argument("JSON nested too deep");
        out.push_back('{');
        bool first = true;
        for (const auto& [key, element] : value.items()) {
            if (!first)
                out.push_back(',');
            first = false;
            writeString(key, out);
            out.push_back(':');
            write(element, out, depth + 1, splices);
        }
        out.push_back('}');
        break;
    }
    case Json::value_t::binary: {
        const auto& bytes = value.get_binary();
        // The rest of a document that carries a picture is a few small members.
        constexpr size_t roomForTheRest = 4096;
        const bool isText = bytes.has_subtype() && bytes.subtype() == base64TextSubtype;
        out.push_back('"');
        if (isText && splices && bytes.size() >= spliceBytes) {
            splices->push_back({out.size(), bytes});
        } else if (isText) {
            out.reserve(out.size() + bytes.size() + roomForTheRest);
            out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        } else {
            appendBase64EscapingSlashes(bytes.data(), bytes.size(), out, roomForTheRest);
        }
        out.push_back('"');
        break;
    }
    case Json::value_t::discarded:
        throw std::invalid_argument("not a JSON value");
    }
}

} // namespace

void writeJson(const Json& value, std::string& out)
{
    write(value, out, 0, nullptr);
}

std::string writeJson(const Json& value)
{
    std::string out;
    write(value, out, 0, nullptr);
    return out;
}

void writeJson(const Json& value, std::string& out, std::vector<JsonSplice>& splices)
{
    write(value, out, 0, &splices);
}
