#pragma once
// The text operations the built-ins use most, with a short cut for ASCII. Each gives exactly what the
// Unicode rules of the platform layer give; in ASCII text every scalar is one byte and every Character
// is one byte, except a carriage return followed by a line feed, which is one Character of two bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace jinja::fastText {

bool isASCII(std::string_view text);

// Byte equality of two texts, by machine words: names and keys are short, and a call to memcmp costs
// more than comparing them.
inline bool sameBytes(std::string_view a, std::string_view b) {
    size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    auto word = [](const char* at) {
        uint64_t w;
        std::memcpy(&w, at, 8);
        return w;
    };
    if (n >= 8) {
        for (size_t i = 0; i + 8 <= n; i += 8)
            if (word(p + i) != word(q + i)) return false;
        return word(p + n - 8) == word(q + n - 8);
    }
    if (n >= 4) {
        uint32_t x, y, u, v;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, q, 4);
        std::memcpy(&u, p + n - 4, 4);
        std::memcpy(&v, q + n - 4, 4);
        return x == y && u == v;
    }
    return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}
// The ASCII members of the White_Space property: tab, line feed, vertical tab, form feed, carriage
// return and space.
inline bool isASCIIWhitespace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The length of the White_Space scalar that starts at byte `at` (or ends at byte `end`), 0 when there
// is none. White_Space beyond ASCII is U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000; ill-formed bytes are never white space.
size_t whitespaceLengthAt(std::string_view text, size_t at);
size_t whitespaceLengthBefore(std::string_view text, size_t end);
// Without leading and trailing White_Space scalars (the platform's whitespace-and-newline trimming),
// as a part of `text`.
std::string_view trimmedViewInGeneral(std::string_view text);
inline std::string_view trimmedView(std::string_view text) {
    // A text that starts and ends with ASCII other than white space is whole: its first and last
    // bytes are whole scalars.
    if (!text.empty()) {
        auto first = static_cast<unsigned char>(text.front());
        auto last = static_cast<unsigned char>(text.back());
        if (first < 0x80 && last < 0x80 && !isASCIIWhitespace(first) && !isASCIIWhitespace(last)) return text;
    }
    return trimmedViewInGeneral(text);
}
inline std::string trimmed(std::string_view text) { return std::string(trimmedView(text)); }
// Full Unicode case mapping in the root locale.
std::string uppercased(std::string_view text);
std::string lowercased(std::string_view text);
// Characters (extended grapheme clusters).
size_t characterCount(std::string_view text);
// Byte offsets of every Character boundary, from 0 to text.size() ({0} for the empty text).
std::vector<size_t> characterBoundaries(std::string_view text);

}  // namespace jinja::fastText
