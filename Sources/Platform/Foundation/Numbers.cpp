#include "Platform/Foundation/Numbers.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <cwchar>

#include "Platform/Foundation/Text.hpp"

namespace foundation {

namespace {

// Shortest round-trip text of a finite value in the platform's layout: plain with at least one fraction digit
// inside [1e-4, plainLimit), otherwise the exponent form that to_chars already writes as "1e-05" / "1.5e+20".
template <typename T>
std::string formatShortest(T value, T plainLimit) {
    if (std::isnan(value)) {
        return "nan";  // the sign of a NaN depends on how it was made (x86 makes negative ones); never shown
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    T magnitude = std::fabs(value);
    bool plain = magnitude == 0 || (magnitude >= T(1e-4) && magnitude < plainLimit);
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                plain ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buffer, result.ptr);
    if (plain && text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

// --- printf-style formatting

struct Spec {
    bool left = false;      // '-'
    bool plus = false;      // '+'
    bool space = false;     // ' '
    bool alternate = false; // '#'
    bool zero = false;      // '0'
    int width = 0;
    int precision = -1;     // -1: none given
};

// Pads a converted field to the width. `prefixLength` counts the sign (and 0x) that zero padding goes after.
void appendPadded(std::string& out, const std::string& body, const Spec& spec, bool zeroPad, size_t prefixLength) {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (body.size() >= width) {
        out += body;
        return;
    }
    size_t fill = width - body.size();
    if (spec.left) {
        out += body;
        out.append(fill, ' ');
    } else if (zeroPad) {
        out.append(body, 0, prefixLength);
        out.append(fill, '0');
        out.append(body, prefixLength, std::string::npos);
    } else {
        out.append(fill, ' ');
        out += body;
    }
}

void toUpper(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

std::string fixedDigits(double magnitude, int precision) {
    // A double has at most ~1100 significant fixed digits; to_chars reports failure rather than overflow.
    std::string buffer(static_cast<size_t>(precision) + 400, '\0');
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude, std::chars_format::fixed,
                                precision);
    if (result.ec != std::errc()) {
        buffer.resize(buffer.size() * 4);
        result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude, std::chars_format::fixed,
                               precision);
    }
    return std::string(buffer.data(), result.ptr);
}

std::string scientificDigits(double magnitude, int precision) {
    std::string buffer(static_cast<size_t>(precision) + 32, '\0');
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                std::chars_format::scientific, precision);
    return std::string(buffer.data(), result.ptr);
}

// The decimal exponent of a scientific text such as "1.23e+05".
int exponentOf(const std::string& scientific) {
    size_t e = scientific.find('e');
    return e == std::string::npos ? 0 : std::atoi(scientific.c_str() + e + 1);
}

void stripTrailingZeros(std::string& text) {
    size_t point = text.find('.');
    if (point == std::string::npos) {
        return;
    }
    size_t exponent = text.find('e');
    size_t end = exponent == std::string::npos ? text.size() : exponent;
    size_t last = end;
    while (last > point + 1 && text[last - 1] == '0') {
        --last;
    }
    if (last == point + 1) {
        --last;  // drop the point too
    }
    text.erase(last, end - last);
}

// %f %F %e %E %g %G, with non-finite values spelled "inf"/"nan" (never "-nan") and no locale.
void appendFloating(std::string& out, double value, char conversion, const Spec& spec) {
    bool upper = conversion == 'F' || conversion == 'E' || conversion == 'G';
    char lower = static_cast<char>(conversion | 0x20);
    bool nan = std::isnan(value);
    bool negative = !nan && std::signbit(value);
    double magnitude = std::fabs(value);
    std::string digits;
    if (nan) {
        digits = "nan";
    } else if (std::isinf(value)) {
        digits = "inf";
    } else {
        int precision = spec.precision < 0 ? 6 : spec.precision;
        if (lower == 'f') {
            digits = fixedDigits(magnitude, precision);
            if (spec.alternate && precision == 0) {
                digits += '.';
            }
        } else if (lower == 'e') {
            digits = scientificDigits(magnitude, precision);
            if (spec.alternate && precision == 0) {
                digits.insert(1, ".");
            }
        } else {
            int significant = precision == 0 ? 1 : precision;
            int exponent = exponentOf(scientificDigits(magnitude, significant - 1));
            if (exponent >= -4 && exponent < significant) {
                digits = fixedDigits(magnitude, significant - 1 - exponent);
            } else {
                digits = scientificDigits(magnitude, significant - 1);
            }
            if (!spec.alternate) {
                stripTrailingZeros(digits);
            } else if (digits.find('.') == std::string::npos) {
                size_t e = digits.find('e');
                digits.insert(e == std::string::npos ? digits.size() : e, ".");
            }
        }
    }
    if (upper) {
        toUpper(digits);
    }
    std::string body;
    if (negative) {
        body += '-';
    } else if (spec.plus) {
        body += '+';
    } else if (spec.space) {
        body += ' ';
    }
    size_t prefix = body.size();
    body += digits;
    bool finite = std::isfinite(value);
    appendPadded(out, body, spec, spec.zero && !spec.left && finite, prefix);
}

// Integers, characters and strings do not depend on the locale (no grouping flag is accepted), so the C
// library formats them from a rebuilt single-conversion spec.
template <typename T>
void appendWithCLibrary(std::string& out, const std::string& cSpec, T value) {
    char small[128];
    int needed = std::snprintf(small, sizeof small, cSpec.c_str(), value);
    if (needed < 0) {
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        out.append(small, static_cast<size_t>(needed));
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(large.data(), large.size(), cSpec.c_str(), value);
    large.resize(static_cast<size_t>(needed));
    out += large;
}

// %ls / %lc: UTF-8 output; a precision limits the bytes written without splitting a scalar.
void appendWide(std::string& out, const std::u32string& wide, const Spec& spec, bool limitedByPrecision) {
    std::string body;
    for (char32_t c : wide) {
        // Surrogates and values beyond U+10FFFF come out as U+FFFD.
        std::string encoded = text::fromScalar(c);
        if (limitedByPrecision && spec.precision >= 0 &&
            body.size() + encoded.size() > static_cast<size_t>(spec.precision)) {
            break;
        }
        body += encoded;
    }
    appendPadded(out, body, spec, false, 0);
}

std::string rebuiltSpec(const Spec& spec, const std::string& length, char conversion) {
    std::string s = "%";
    if (spec.left) s += '-';
    if (spec.plus) s += '+';
    if (spec.space) s += ' ';
    if (spec.alternate) s += '#';
    if (spec.zero) s += '0';
    if (spec.width > 0) s += std::to_string(spec.width);
    if (spec.precision >= 0) {
        s += '.';
        s += std::to_string(spec.precision);
    }
    s += length;
    s += conversion;
    return s;
}

std::string formatList(const char* fmt, va_list args) {
    std::string out;
    const char* p = fmt;
    while (*p) {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            size_t n = next ? static_cast<size_t>(next - p) : std::strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == '-') spec.left = true;
            else if (*p == '+') spec.plus = true;
            else if (*p == ' ') spec.space = true;
            else if (*p == '#') spec.alternate = true;
            else if (*p == '0') spec.zero = true;
            else break;
        }
        if (*p == '*') {
            int w = va_arg(args, int);
            if (w < 0) {
                spec.left = true;
                w = w == -2147483647 - 1 ? 2147483647 : -w;
            }
            spec.width = w;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec.width = spec.width * 10 + (*p - '0');
                if (spec.width > 1000000) spec.width = 1000000;  // bound a width that comes from a format text
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                int q = va_arg(args, int);
                spec.precision = q < 0 ? -1 : q;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec.precision = spec.precision * 10 + (*p - '0');
                    if (spec.precision > 1000000) spec.precision = 1000000;
                    ++p;
                }
            }
        }
        std::string length;
        while (*p == 'h' || *p == 'l' || *p == 'L' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'q') {
            length += *p++;
        }
        char conversion = *p;
        if (conversion == '\0') {
            out.append(start);  // a lone trailing '%' spec is written as it stands
            break;
        }
        ++p;
        switch (conversion) {
            case '%':
                out += '%';
                break;
            case 'd':
            case 'i': {
                std::string cSpec = rebuiltSpec(spec, "ll", conversion);
                long long v;
                if (length == "l") v = va_arg(args, long);
                else if (length == "ll" || length == "q") v = va_arg(args, long long);
                else if (length == "z") v = static_cast<long long>(va_arg(args, ptrdiff_t));
                else if (length == "j") v = static_cast<long long>(va_arg(args, intmax_t));
                else if (length == "t") v = static_cast<long long>(va_arg(args, ptrdiff_t));
                else if (length == "hh") v = static_cast<signed char>(va_arg(args, int));
                else if (length == "h") v = static_cast<short>(va_arg(args, int));
                else v = va_arg(args, int);
                appendWithCLibrary(out, cSpec, v);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                std::string cSpec = rebuiltSpec(spec, "ll", conversion);
                unsigned long long v;
                if (length == "l") v = va_arg(args, unsigned long);
                else if (length == "ll" || length == "q") v = va_arg(args, unsigned long long);
                else if (length == "z") v = va_arg(args, size_t);
                else if (length == "j") v = static_cast<unsigned long long>(va_arg(args, uintmax_t));
                else if (length == "t") v = static_cast<unsigned long long>(va_arg(args, ptrdiff_t));
                else if (length == "hh") v = static_cast<unsigned char>(va_arg(args, unsigned));
                else if (length == "h") v = static_cast<unsigned short>(va_arg(args, unsigned));
                else v = va_arg(args, unsigned);
                appendWithCLibrary(out, cSpec, v);
                break;
            }
            case 'c':
            case 's':
                if (length == "l") {
                    // Wide text (UTF-32 on this platform) is written as UTF-8.
                    std::u32string wide;
                    if (conversion == 'c') {
                        wide += static_cast<char32_t>(va_arg(args, wint_t));
                    } else {
                        const wchar_t* v = va_arg(args, const wchar_t*);
                        for (const wchar_t* w = v ? v : L"(null)"; *w; ++w) {
                            wide += static_cast<char32_t>(*w);
                        }
                    }
                    appendWide(out, wide, spec, conversion == 's');
                    break;
                }
                if (conversion == 's') {
                    const char* v = va_arg(args, const char*);
                    appendWithCLibrary(out, rebuiltSpec(spec, "", 's'), v ? v : "(null)");
                } else {
                    appendWithCLibrary(out, rebuiltSpec(spec, "", 'c'), va_arg(args, int));
                }
                break;
            case 'p': {
                void* v = va_arg(args, void*);
                appendWithCLibrary(out, rebuiltSpec(spec, "", 'p'), v);
                break;
            }
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G': {
                double v = length == "L" ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
                appendFloating(out, v, conversion, spec);
                break;
            }
            case 'n':
                // Writing through a pointer taken from a format text is never done; the argument is skipped.
                (void)va_arg(args, void*);
                break;
            default:
                // Unknown conversion: keep the text so the mistake shows in the output.
                out.append(start, static_cast<size_t>(p - start));
                break;
        }
    }
    return out;
}

}  // namespace

std::string formatDouble(double value) { return formatShortest(value, 9007199254740992.0); }

std::string formatFloat(float value) { return formatShortest(value, 16777216.0f); }

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = formatList(fmt, args);
    va_end(args);
    return out;
}

std::optional<int64_t> parseInt64(std::string_view text) {
    // A leading '+' is accepted as the platform's integer parsing accepts it.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseDouble(std::string_view text) {
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.empty() || body.front() == '+' || body.front() == '-') {
        return std::nullopt;
    }
    std::chars_format form = std::chars_format::general;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        body.remove_prefix(2);
        form = std::chars_format::hex;
        if (body.empty() || body.front() == '+' || body.front() == '-') {
            return std::nullopt;
        }
    }
    double value = 0;
    auto result = std::from_chars(body.data(), body.data() + body.size(), value, form);
    if (result.ptr != body.data() + body.size()) {
        return std::nullopt;
    }
    if (result.ec == std::errc::result_out_of_range) {
        // Overflow reads as infinity and underflow as (signed) zero or a subnormal, as strtod gives them.
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        std::string copy(text);
        value = strtod_l(copy.c_str(), nullptr, cLocale);
        return value;
    } else if (result.ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace foundation
