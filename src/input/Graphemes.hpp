#pragma once

#include <string>
#include <string_view>
#include <vector>

// User-perceived characters (extended grapheme clusters) for the text that typing splits
// into chunks. The properties cover what matters there: CR LF, combining marks, variation
// selectors, emoji modifiers, emoji ZWJ sequences, tag sequences, regional-indicator
// pairs and Hangul syllables. Scripts with rarer rules (Indic conjuncts, prepended marks)
// may come out as more clusters than a full implementation would give.
namespace Graphemes {

// UTF-8 to code points; each byte of a malformed sequence becomes U+FFFD.
std::u32string decodeUTF8(std::string_view text);

// Splits the text at grapheme-cluster boundaries; the pieces concatenate to the text.
std::vector<std::u32string_view> clusters(std::u32string_view text);

// UTF-16 code units of code points (surrogate pairs above U+FFFF).
void appendUTF16(std::u32string_view codePoints, std::u16string& out);

} // namespace Graphemes
