#pragma once
// The text operations the built-ins use most, with a short cut for ASCII. Each gives exactly what the
// Unicode rules of the platform layer give; in ASCII text every scalar is one byte and every Character
// is one byte, except a carriage return followed by a line feed, which is one Character of two bytes.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jinja::fastText {

bool isASCII(std::string_view text);
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
std::string_view trimmedView(std::string_view text);
inline std::string trimmed(std::string_view text) { return std::string(trimmedView(text)); }
// Full Unicode case mapping in the root locale.
std::string uppercased(std::string_view text);
std::string lowercased(std::string_view text);
// Characters (extended grapheme clusters).
size_t characterCount(std::string_view text);
// Byte offsets of every Character boundary, from 0 to text.size() ({0} for the empty text).
std::vector<size_t> characterBoundaries(std::string_view text);

}  // namespace jinja::fastText
