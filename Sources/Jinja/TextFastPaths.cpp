#include "Jinja/TextFastPaths.hpp"

#include <cstdint>
#include <cstring>

#include "Platform/Foundation/Text.hpp"

namespace jinja::fastText {

bool isASCII(std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    uint64_t high = 0;
    for (; left >= 8; p += 8, left -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; left > 0; ++p, --left) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ull) == 0;
}

std::string trimmed(std::string_view text) {
    size_t first = 0;
    size_t end = text.size();
    while (first < end && isASCIIWhitespace(static_cast<unsigned char>(text[first]))) ++first;
    while (end > first && isASCIIWhitespace(static_cast<unsigned char>(text[end - 1]))) --end;
    // Where both cuts stop at an ASCII byte, that byte is a kept scalar (ASCII bytes are never part of a
    // longer sequence, well-formed or not); a non-ASCII byte there may belong to Unicode white space.
    if (first == end || (static_cast<unsigned char>(text[first]) < 0x80 && static_cast<unsigned char>(text[end - 1]) < 0x80))
        return std::string(text.substr(first, end - first));
    return foundation::text::trimmingWhitespaceAndNewlines(text.substr(first, end - first));
}

std::string uppercased(std::string_view text) {
    if (!isASCII(text)) return foundation::text::uppercased(text);
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string lowercased(std::string_view text) {
    if (!isASCII(text)) return foundation::text::lowercased(text);
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

size_t characterCount(std::string_view text) {
    if (!isASCII(text)) return foundation::text::characterCount(text);
    size_t count = text.size();
    for (size_t i = 1; i < text.size(); ++i)
        if (text[i] == '\n' && text[i - 1] == '\r') --count;
    return count;
}

std::vector<size_t> characterBoundaries(std::string_view text) {
    if (!isASCII(text)) return foundation::text::characterBoundaries(text);
    std::vector<size_t> bounds;
    bounds.reserve(text.size() + 1);
    bounds.push_back(0);
    for (size_t i = 1; i <= text.size(); ++i)
        if (i == text.size() || !(text[i] == '\n' && text[i - 1] == '\r')) bounds.push_back(i);
    return bounds;
}

}  // namespace jinja::fastText
