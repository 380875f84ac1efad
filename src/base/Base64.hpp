#pragma once

#include <cstddef>
#include <string>

// Standard alphabet, "=" padding, no line breaks. Appends to `out`, which is grown once.
void appendBase64(const unsigned char* data, size_t size, std::string& out);
std::string base64(const unsigned char* data, size_t size);
