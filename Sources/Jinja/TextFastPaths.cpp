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

size_t whitespaceLengthAt(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    unsigned lead = byte(at);
    if (lead < 0x80) return at < text.size() && isASCIIWhitespace(static_cast<unsigned char>(lead)) ? 1 : 0;
    unsigned second = byte(at + 1);
    unsigned third = byte(at + 2);
    switch (lead) {
        case 0xC2: return second == 0x85 || second == 0xA0 ? 2 : 0;                       // U+0085, U+00A0
        case 0xE1: return second == 0x9A && third == 0x80 ? 3 : 0;                        // U+1680
        case 0xE2:
            if (second == 0x80)                                                           // U+2000..U+200A,
                return (third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 ||  // U+2028, U+2029,
                               third == 0xAF                                              // U+202F
                           ? 3
                           : 0;
            return second == 0x81 && third == 0x9F ? 3 : 0;                               // U+205F
        case 0xE3: return second == 0x80 && third == 0x80 ? 3 : 0;                        // U+3000
        default: return 0;
    }
}

size_t whitespaceLengthBefore(std::string_view text, size_t end) {
    if (end == 0) return 0;
    if (static_cast<unsigned char>(text[end - 1]) < 0x80) return whitespaceLengthAt(text, end - 1);
    // A lead byte always starts a scalar of its own, so a white-space sequence that ends here is one.
    if (end >= 2 && whitespaceLengthAt(text, end - 2) == 2) return 2;
    if (end >= 3 && whitespaceLengthAt(text, end - 3) == 3) return 3;
    return 0;
}

std::string_view trimmedViewInGeneral(std::string_view text) {
    size_t first = 0;
    size_t end = text.size();
    while (first < end) {
        auto byte = static_cast<unsigned char>(text[first]);
        size_t length = byte < 0x80 ? (isASCIIWhitespace(byte) ? 1 : 0) : whitespaceLengthAt(text, first);
        if (length == 0) break;
        first += length;
    }
    while (end > first) {
        auto byte = static_cast<unsigned char>(text[end - 1]);
        size_t length = byte < 0x80 ? (isASCIIWhitespace(byte) ? 1 : 0) : whitespaceLengthBefore(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(first, end - first);
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
