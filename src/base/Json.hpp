#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The one JSON value model: object, array, string, integer, floating-point number, boolean,
// null. Request bodies are read into it; answers are built in it and written by writeJson.
using Json = nlohmann::json;

// How deep arrays and objects may nest in a request body. Requests need three levels; the
// bound keeps every walk through a caller's value (printing, writing, freeing) short.
inline constexpr int maximumReadDepth = 64;
// Answers may wrap a piece of a request in a few levels of their own.
inline constexpr int maximumWriteDepth = 4 * maximumReadDepth;

// Parses a request body strictly (RFC 8259, UTF-8): one value, then nothing but white
// space. Nothing when the text is not JSON or nests deeper than maximumReadDepth.
std::optional<Json> readJson(std::string_view text);

inline constexpr std::uint64_t base64TextSubtype = 64;

// Writes compact JSON: no white space, "/" escaped as "\/", integers without a fraction,
// floating-point numbers in their shortest round-trip form. A binary value (Json::binary)
// is written as the string of its Base64 text, made as it is written: a picture's bytes
// become an answer's text in one pass. Throws std::invalid_argument
// for a value JSON cannot carry (a NaN or an infinity), a string that is not UTF-8, or
// nesting deeper than maximumWriteDepth.
//
// A binary value of subtype base64TextSubtype holds that text already (an encoder that keeps
// the text of the parts it did not redo makes it so), and is written as it stands.
void writeJson(const Json& value, std::string& out);
std::string writeJson(const Json& value);

// A text left out of the written JSON, to be sent in its place: the bytes belong at `at` in
// the output and stay in the value, which must outlive the sending.
struct JsonSplice {
    std::size_t at;
    std::span<const std::uint8_t> bytes;
};

// The same, but a binary value of subtype base64TextSubtype of at least spliceBytes is not
// copied: it is left out and listed in `splices`, in order. A picture's text is megabytes;
// an answer that sends it from where it lies saves copying it into the answer.
inline constexpr std::size_t spliceBytes = 64 * 1024;
void writeJson(const Json& value, std::string& out, std::vector<JsonSplice>& splices);
