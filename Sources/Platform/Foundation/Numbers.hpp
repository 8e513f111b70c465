#pragma once
// Numbers as text, independent of the C locale.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// Shortest round-trip text as the platform prints a Double: "1.0", "0.1", "-2.5", "1e-05", "1e+16",
// "1.2345e+20", "inf", "-inf", "nan". Plain decimal notation for 1e-4 <= |x| < 2^53, exponent form
// otherwise (at least two exponent digits, sign always written).
std::string formatDouble(double value);
// The same for a Float: shortest text that reads back as the same float ("0.1", not "0.100000001"),
// plain decimal for 1e-4 <= |x| < 2^24.
std::string formatFloat(float value);
// printf-style formatting that never consults the locale; NaN prints "nan", infinities "inf"/"-inf"
// (with the sign and width rules of the conversion). Supports the flags, width and precision of
// %d %i %u %ld %lld %lu %llu %zu %x %X %o %c %s %f %F %e %E %g %G %%.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reading numbers from text (whole text must be consumed, no leading/trailing spaces).
std::optional<int64_t> parseInt64(std::string_view text);
std::optional<double> parseDouble(std::string_view text);

}  // namespace foundation
