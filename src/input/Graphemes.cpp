#include "input/Graphemes.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace Graphemes {

namespace {

enum class Property {
    other,
    cr,
    lf,
    control,
    extend,
    zwj,
    spacingMark,
    regionalIndicator,
    hangulL,
    hangulV,
    hangulT,
    hangulLV,
    hangulLVT,
};

struct Range {
    char32_t first;
    char32_t last;
};

template <std::size_t N>
bool inRanges(const Range (&ranges)[N], char32_t c)
{
    const auto after = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                        [](char32_t value, const Range& range) { return value < range.first; });
    return after != std::begin(ranges) && c <= std::prev(after)->last;
}

// Marks that attach to the character before them, sorted.
constexpr Range extendRanges[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A}, {0x07EB, 0x07F3}, {0x0900, 0x0902}, {0x093A, 0x093A}, {0x093C, 0x093C},
    {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957}, {0x0962, 0x0963}, {0x0981, 0x0981},
    {0x09BC, 0x09BC}, {0x09C1, 0x09C4}, {0x09CD, 0x09CD}, {0x0A01, 0x0A02}, {0x0A3C, 0x0A3C},
    {0x0A41, 0x0A51}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1},
    {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECD}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200C, 0x200C},
    {0x20D0, 0x20FF}, {0x302A, 0x302F}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFF9E, 0xFF9F}, {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// Vowel signs that are written beside their consonant but belong to it, sorted.
constexpr Range spacingMarkRanges[] = {
    {0x0903, 0x0903}, {0x093B, 0x093B}, {0x093E, 0x0940}, {0x0949, 0x094C}, {0x094E, 0x094F},
    {0x0982, 0x0983}, {0x09BF, 0x09C0}, {0x09C7, 0x09CC}, {0x0A03, 0x0A03}, {0x0A3E, 0x0A40},
    {0x0E33, 0x0E33}, {0x0EB3, 0x0EB3},
};

// Pictographs that emoji ZWJ sequences join, sorted.
constexpr Range pictographicRanges[] = {
    {0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C}, {0x2049, 0x2049}, {0x2122, 0x2122},
    {0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
    {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2}, {0x25AA, 0x25AB},
    {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x27BF}, {0x2934, 0x2935},
    {0x2B05, 0x2B07}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}, {0x3030, 0x3030},
    {0x303D, 0x303D}, {0x3297, 0x3297}, {0x3299, 0x3299}, {0x1F000, 0x1F0FF}, {0x1F10D, 0x1F10F},
    {0x1F12F, 0x1F12F}, {0x1F16C, 0x1F171}, {0x1F17E, 0x1F17F}, {0x1F18E, 0x1F18E},
    {0x1F191, 0x1F19A}, {0x1F1AD, 0x1F1E5}, {0x1F201, 0x1F20F}, {0x1F21A, 0x1F21A},
    {0x1F22F, 0x1F22F}, {0x1F232, 0x1F23A}, {0x1F23C, 0x1F23F}, {0x1F249, 0x1F3FA},
    {0x1F400, 0x1F53D}, {0x1F546, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F774, 0x1F77F},
    {0x1F7D5, 0x1F7FF}, {0x1F80C, 0x1F80F}, {0x1F848, 0x1F84F}, {0x1F85A, 0x1F85F},
    {0x1F888, 0x1F88F}, {0x1F8AE, 0x1F8FF}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945},
    {0x1F947, 0x1FAFF}, {0x1FC00, 0x1FFFD},
};

bool isPictographic(char32_t c)
{
    return inRanges(pictographicRanges, c);
}

Property property(char32_t c)
{
    if (c == U'\r')
        return Property::cr;
    if (c == U'\n')
        return Property::lf;
    if (c == 0x200D)
        return Property::zwj;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || c == 0x200B
        || c == 0xFEFF)
        return Property::control;
    if (c >= 0x1F1E6 && c <= 0x1F1FF)
        return Property::regionalIndicator;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C))
        return Property::hangulL;
    if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6))
        return Property::hangulV;
    if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB))
        return Property::hangulT;
    if (c >= 0xAC00 && c <= 0xD7A3)
        return (c - 0xAC00) % 28 == 0 ? Property::hangulLV : Property::hangulLVT;
    if (inRanges(extendRanges, c))
        return Property::extend;
    if (inRanges(spacingMarkRanges, c))
        return Property::spacingMark;
    return Property::other;
}

bool isExtending(Property p)
{
    return p == Property::extend || p == Property::zwj;
}

} // namespace

std::u32string decodeUTF8(std::string_view text)
{
    std::u32string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = 0;
        char32_t value = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            result += lead;
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07;
            minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            else
                value = (value << 6) | (next & 0x3F);
        }
        if (valid && (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)))
            valid = false;
        if (!valid) {
            result += U'\uFFFD';
            ++i;
            continue;
        }
        result += value;
        i += length;
    }
    return result;
}

std::vector<std::u32string_view> clusters(std::u32string_view text)
{
    std::vector<std::u32string_view> result;
    std::size_t start = 0;
    // Whether the cluster so far is a pictograph followed by marks (for ZWJ sequences),
    // and how many regional indicators run up to the current position.
    bool pictographRun = false;
    std::size_t regionalRun = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Property current = property(text[i]);
        if (i > start) {
            const Property before = property(text[i - 1]);
            bool join = false;
            if (before == Property::cr && current == Property::lf)
                join = true;
            else if (before == Property::cr || before == Property::lf || before == Property::control
                     || current == Property::cr || current == Property::lf || current == Property::control)
                join = false;
            else if (before == Property::hangulL
                     && (current == Property::hangulL || current == Property::hangulV
                         || current == Property::hangulLV || current == Property::hangulLVT))
                join = true;
            else if ((before == Property::hangulLV || before == Property::hangulV)
                     && (current == Property::hangulV || current == Property::hangulT))
                join = true;
            else if ((before == Property::hangulLVT || before == Property::hangulT) && current == Property::hangulT)
                join = true;
            else if (isExtending(current) || current == Property::spacingMark)
                join = true;
            else if (before == Property::zwj && pictographRun && isPictographic(text[i]))
                join = true;
            else if (before == Property::regionalIndicator && current == Property::regionalIndicator
                     && regionalRun % 2 == 1)
                join = true;
            if (!join) {
                result.push_back(text.substr(start, i - start));
                start = i;
            }
        }
        if (isPictographic(text[i]))
            pictographRun = true;
        else if (!isExtending(current))
            pictographRun = false;
        regionalRun = current == Property::regionalIndicator ? regionalRun + 1 : 0;
    }
    if (start < text.size())
        result.push_back(text.substr(start));
    return result;
}

void appendUTF16(std::u32string_view codePoints, std::u16string& out)
{
    for (const char32_t c : codePoints) {
        if (c >= 0x10000) {
            const char32_t v = c - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
}

} // namespace Graphemes
