#pragma once

#include <cstddef>
#include <string>

// Standard alphabet, "=" padding, no line breaks. Appends to `out`, which is grown once.
void appendBase64(const unsigned char* data, size_t size, std::string& out);
std::string base64(const unsigned char* data, size_t size);

// The same text with every "/" written "\/", as it stands between the quotes of a JSON
// string that escapes slashes: a picture's Base64 goes into an answer in one pass, without
// a Base64 copy that the JSON writer then reads again. `out` is grown once, with
// `roomAfter` bytes to spare for what the caller writes after the text: a string that ran
// out of room would grow to twice the text's length and copy it.
void appendBase64EscapingSlashes(const unsigned char* data, size_t size, std::string& out, size_t roomAfter = 0);
