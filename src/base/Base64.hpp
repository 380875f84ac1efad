#pragma once

#include <cstddef>
#include <string>

// Standard alphabet, "=" padding, no line breaks. Appends to `out`, which is grown once.
void appendBase64(const unsigned char* data, size_t size, std::string& out);
std::string base64(const unsigned char* data, size_t size);

// The same text with every "/" written "\/", as it stands between the quotes of a JSON
// string that escapes slashes: a picture's Base64 goes into an answer in one pass, without
// a Base64 copy that the JSON writer then reads again.
void appendBase64EscapingSlashes(const unsigned char* data, size_t size, std::string& out);
