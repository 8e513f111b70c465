#include "Platform/Foundation/Error.hpp"

#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace foundation {

namespace {

// Ill-formed UTF-8 reads as U+FFFD, one per maximal ill-formed subpart.
char32_t nextScalar(std::string_view text, size_t& i) {
    auto bytes = reinterpret_cast<const uint8_t*>(text.data());
    UChar32 c = 0;
    size_t length = text.size();
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    return static_cast<char32_t>(c);
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char hexDigit(uint32_t v) {
    v &= 15;
    return static_cast<char>(v < 10 ? '0' + v : 'A' + (v - 10));
}

// The escape of a scalar that is always escaped, or nothing when it may be written as it is.
bool appendEscape(std::string& out, char32_t c) {
    switch (c) {
        case U'\\': out += "\\\\"; return true;
        case U'\'': out += "\\'"; return true;
        case U'"': out += "\\\""; return true;
        case U'\0': out += "\\0"; return true;
        case U'\n': out += "\\n"; return true;
        case U'\r': out += "\\r"; return true;
        case U'\t': out += "\\t"; return true;
        default: break;
    }
    if (c < 0x20 || c == 0x7F) {
        out += "\\u{";
        out += hexDigit(c >> 4);
        out += hexDigit(c);
        out += '}';
        return true;
    }
    return false;
}

// A scalar that would fuse with the ASCII character before it into one Character (a combining mark after the
// opening quote or after an escape) is written as an escape so the quoted text stays readable.
bool joinsPrecedingASCII(char32_t c) {
    auto breakClass = u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_GRAPHEME_CLUSTER_BREAK);
    return breakClass == U_GCB_EXTEND || breakClass == U_GCB_ZWJ || breakClass == U_GCB_SPACING_MARK;
}

void appendHexEscape(std::string& out, char32_t c) {
    out += "\\u{";
    int digits = c <= 0xFFFF ? 4 : 8;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += hexDigit(c >> shift);
    }
    out += '}';
}

}  // namespace

std::string debugQuoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    bool afterASCII = true;  // the opening quote or the end of an escape
    size_t i = 0;
    while (i < text.size()) {
        char32_t c = nextScalar(text, i);
        if (appendEscape(out, c)) {
            afterASCII = true;
        } else if (afterASCII && c >= 0x80 && joinsPrecedingASCII(c)) {
            appendHexEscape(out, c);
            afterASCII = true;
        } else {
            appendUTF8(out, c);
            afterASCII = false;
        }
    }
    out += '"';
    return out;
}

std::string describeCase(std::string_view name, std::string_view payload) {
    std::string out(name);
    out += '(';
    out += debugQuoted(payload);
    out += ')';
    return out;
}

std::string describeCase(std::string_view name) { return std::string(name); }

}  // namespace foundation
