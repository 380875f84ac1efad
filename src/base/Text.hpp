#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

bool isValidUTF8(std::string_view text);

// The code points of UTF-16 text, surrogate pairs joined; a lone surrogate stands for itself.
std::u32string codePoints(std::u16string_view units);

// Appends a code point to UTF-8 text.
void appendUTF8(std::string& text, char32_t c);

// Decodes valid UTF-8 one code point at a time. Returns nothing at the end of the text.
std::optional<char32_t> nextCodePoint(std::string_view text, size_t& index);

// Whether bytes from outside were read whole, or a read stopped at a length limit.
enum class Ending { whole, cut };
// Valid UTF-8 from bytes of unknown quality (window titles, class names, process and file
// names): each ill-formed sequence, as far as it goes, becomes one U+FFFD. Bytes read only
// up to a limit may end inside a character; with Ending::cut that unfinished character is
// dropped, so the text ends on a character boundary.
std::string validUTF8(std::string_view bytes, Ending ending = Ending::whole);

// Unicode's space separators (general category Zs).
bool isSpaceSeparator(char32_t c);
// Unicode's white space and line breaks: space separators, tab, LF, VT, FF, CR, NEL,
// line separator and paragraph separator.
bool isWhiteSpaceOrNewline(char32_t c);

// Removes the code points matching the predicate from both ends of valid UTF-8 text.
std::string_view trimUTF8(std::string_view text, bool (*strip)(char32_t));
// Space separators and tab, the trim of header names and values and of key names.
std::string_view trimSpacesAndTabs(std::string_view text);
std::string_view trimWhiteSpaceAndNewlines(std::string_view text);

// Reads a whole decimal integer: an optional "+" or "-", then one or more ASCII digits and
// nothing else. Nothing when the text has another form or the value is out of range.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);
std::optional<std::int32_t> parseDecimalInt32(std::string_view text);

// The C library's string-to-double in the C locale, whatever the process locale is; the
// whole text must be consumed and must not start with white space.
std::optional<double> parseCDouble(std::string_view text);

// Compares in time that depends only on the lengths, not on where the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);
