#include "base/Json.hpp"

#include "base/Text.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

std::optional<Json> readJson(std::string_view text)
{
    // No exceptions from the parser: a discarded value marks a parse error.
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

namespace {

void writeString(std::string_view text, std::string& out)
{
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    // Copy runs of plain bytes at once: multi-megabyte Base64 pictures pass through here.
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            size_t next = i;
            if (!nextCodePoint(text, next))
                throw std::invalid_argument("a string is not UTF-8");
            i = next - 1;
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\' && c != '/')
            continue;
        out.append(text.data() + runStart, i - runStart);
        runStart = i + 1;
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '/': out.append("\\/"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default:
            out.append("\\u00");
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    out.append(text.data() + runStart, text.size() - runStart);
    out.push_back('"');
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

void write(const Json& value, std::string& out)
{
    switch (value.type()) {
    case Json::value_t::null: out.append("null"); break;
    case Json::value_t::boolean: out.append(value.get<bool>() ? "true" : "false"); break;
    case Json::value_t::number_integer: writeNumber(value.get<std::int64_t>(), out); break;
    case Json::value_t::number_unsigned: writeNumber(value.get<std::uint64_t>(), out); break;
    case Json::value_t::number_float: writeDouble(value.get<double>(), out); break;
    case Json::value_t::string: writeString(value.get_ref<const std::string&>(), out); break;
    case Json::value_t::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out.push_back(',');
            first = false;
            write(element, out);
        }
        out.push_back(']');
        break;
    }
    case Json::value_t::object: {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, element] : value.items()) {
            if (!first)
                out.push_back(',');
            first = false;
            writeString(key, out);
            out.push_back(':');
            write(element, out);
        }
        out.push_back('}');
        break;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
        throw std::invalid_argument("not a JSON value");
    }
}

} // namespace

void writeJson(const Json& value, std::string& out)
{
    write(value, out);
}

std::string writeJson(const Json& value)
{
    std::string out;
    write(value, out);
    return out;
}
