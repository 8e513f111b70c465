#include "Platform/Foundation/Error.hpp"

#include <cstdint>

#include <unicode/uchar.h>

#include "Platform/Foundation/Text.hpp"

namespace foundation {

namespace {

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
    // Ill-formed UTF-8 reads as U+FFFD, one per maximal ill-formed subpart.
    for (char32_t c : foundation::text::toScalars(text)) {
        if (appendEscape(out, c)) {
            afterASCII = true;
        } else if (afterASCII && c >= 0x80 && joinsPrecedingASCII(c)) {
            appendHexEscape(out, c);
            afterASCII = true;
        } else {
            out += foundation::text::fromScalar(c);
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
