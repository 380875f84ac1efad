#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

// The one JSON value model: object, array, string, integer, floating-point number, boolean,
// null. Request bodies are read into it; answers are built in it and written by writeJson.
using Json = nlohmann::json;

// Parses a request body strictly (RFC 8259, UTF-8). Nothing when the text is not JSON.
std::optional<Json> readJson(std::string_view text);

// Writes compact JSON: no white space, "/" escaped as "\/", integers without a fraction,
// floating-point numbers in their shortest round-trip form. Throws std::invalid_argument
// for a value JSON cannot carry (a NaN or an infinity) or a string that is not UTF-8.
void writeJson(const Json& value, std::string& out);
std::string writeJson(const Json& value);
