#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <limits>
#include <string>

#include "Platform/Foundation/Numbers.hpp"

namespace {

using foundation::format;
using foundation::formatDouble;
using foundation::formatFloat;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(FormatDouble, ShortestRoundTripInThePlatformLayout) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {1.0, "1.0"},
        {0.1, "0.1"},
        {100.0, "100.0"},
        {-2.5, "-2.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e-4, "0.0001"},
        {1e15, "1000000000000000.0"},
        {9007199254740991.0, "9007199254740991.0"},
        {9007199254740992.0, "9.007199254740992e+15"},
        {1e-05, "1e-05"},
        {1.5e-07, "1.5e-07"},
        {1e16, "1e+16"},
        {1.2345e20, "1.2345e+20"},
        {-3e-10, "-3e-10"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {inf, "inf"},
        {-inf, "-inf"},
        {nan, "nan"},
        {-nan, "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatDouble(c.value), c.expected);
    }
}

TEST(FormatFloat, ShortestFloatDigits) {
    struct Case {
        float value;
        const char* expected;
    };
    const Case cases[] = {
        {0.1f, "0.1"},
        {1.0f, "1.0"},
        {-0.0f, "-0.0"},
        {16777215.0f, "16777215.0"},
        {16777216.0f, "1.6777216e+07"},
        {1e-5f, "1e-05"},
        {3.4028235e38f, "3.4028235e+38"},
        {std::numeric_limits<float>::infinity(), "inf"},
        {std::numeric_limits<float>::quiet_NaN(), "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatFloat(c.value), c.expected);
    }
}

TEST(Format, FloatingConversionsWithFlagsWidthAndPrecision) {
    EXPECT_EQ(format("%8.2f ms", 3.14159), "    3.14 ms");
    EXPECT_EQ(format("%.2f", 2.675), "2.67");  // the binary value lies below 2.675
    EXPECT_EQ(format("%f", 1.5), "1.500000");
    EXPECT_EQ(format("%-8.1f|", -1.25), "-1.2    |");
    EXPECT_EQ(format("%+08.3f", 3.14159), "+003.142");
    EXPECT_EQ(format("% .1f", 2.0), " 2.0");
    EXPECT_EQ(format("%.0f %#.0f", 2.5, 3.0), "2 3.");
    EXPECT_EQ(format("%e", 12345.678), "1.234568e+04");
    EXPECT_EQ(format("%.2E", 0.000123), "1.23E-04");
    EXPECT_EQ(format("%g %g %g %g", 100000.0, 1000000.0, 0.0001, 0.00001), "100000 1e+06 0.0001 1e-05");
    EXPECT_EQ(format("%.3g|%#.3g|%G", 1.0, 1.0, 1.5e-10), "1|1.00|1.5E-10");
    EXPECT_EQ(format("%.1f", 1e300).size(), 303u);
}

TEST(Format, NonFiniteValuesKeepSignAndWidthButNeverZeroPadOrNegativeNaN) {
    EXPECT_EQ(format("%f", nan), "nan");
    EXPECT_EQ(format("%f", -nan), "nan");
    EXPECT_EQ(format("%f", std::copysign(nan, -1.0)), "nan");
    EXPECT_EQ(format("%6.2f|", nan), "   nan|");
    EXPECT_EQ(format("%-6f|", inf), "inf   |");
    EXPECT_EQ(format("%06.1f", -inf), "  -inf");
    EXPECT_EQ(format("%+f %+f", inf, nan), "+inf +nan");
    EXPECT_EQ(format("%E %G %F", inf, nan, -inf), "INF NAN -INF");
    EXPECT_EQ(format("%e %g", -inf, nan), "-inf nan");
}

TEST(Format, IntegersStringsAndCharacters) {
    EXPECT_EQ(format("%d|%5d|%-5d|%05d|%+d", 42, 42, 42, -42, 7), "42|   42|42   |-0042|+7");
    EXPECT_EQ(format("%ld %lld %lu %llu", -1L, static_cast<long long>(std::numeric_limits<int64_t>::min()), 3UL, 18446744073709551615ULL),
              "-1 -9223372036854775808 3 18446744073709551615");
    EXPECT_EQ(format("%zu %x %X %#x %o %04x", size_t{12}, 255u, 255u, 255u, 8u, 10u), "12 ff FF 0xff 10 000a");
    EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(format("[%s] [%6s] [%-6s] [%.2s]", "abc", "abc", "abc", "abc"), "[abc] [   abc] [abc   ] [ab]");
    EXPECT_EQ(format("%*d|%-*d|%.*f", 4, 1, 3, 2, 1, 0.25), "   1|2  |0.2");
    EXPECT_EQ(format("100%% done"), "100% done");
    EXPECT_EQ(format("[%ls|%3lc|%.3ls]", L"caf\u00E9", wint_t{0x416}, L"\u00E9\u00E9"), "[caf\xC3\xA9| \xD0\x96|\xC3\xA9]");  // widths count bytes, as printf does
    std::string longText(500, 'x');
    EXPECT_EQ(format("<%s>", longText.c_str()), "<" + longText + ">");
}

// Switches LC_NUMERIC to a German layout (decimal comma): the installed locale, or else a minimal one compiled
// for this test with localedef. Restores the C locale afterwards.
class GermanNumbers {
public:
    GermanNumbers() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr) {
                active_ = true;
                return;
            }
        }
        char dirTemplate[] = "/tmp/foundation-locale-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) {
            return;
        }
        directory_ = dirTemplate;
        std::ofstream(directory_ / "source") << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\n"
                                                "grouping 3;3\nEND LC_NUMERIC\n";
        std::string command = "localedef -c -i '" + (directory_ / "source").string() + "' -f ANSI_X3.4-1968 '" +
                              (directory_ / "de_DE").string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == -1) {
            return;
        }
        ::setenv("LOCPATH", directory_.c_str(), 1);
        active_ = std::setlocale(LC_NUMERIC, "de_DE") != nullptr;
    }
    ~GermanNumbers() {
        std::setlocale(LC_NUMERIC, "C");
        if (!directory_.empty()) {
            ::unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(directory_, ignored);
        }
    }
    bool active() const { return active_; }

private:
    std::filesystem::path directory_;
    bool active_ = false;
};

TEST(Format, IgnoresTheCLocale) {
    GermanNumbers german;
    if (!german.active()) {
        GTEST_SKIP() << "no German numeric locale available";
    }
    char cLibrary[16];
    std::snprintf(cLibrary, sizeof cLibrary, "%.1f", 0.5);
    EXPECT_STREQ(cLibrary, "0,5");  // the C library does follow the locale now
    EXPECT_EQ(format("%8.2f ms", 1234.5), " 1234.50 ms");
    EXPECT_EQ(format("%g %e", 0.5, 0.5), "0.5 5.000000e-01");
    EXPECT_EQ(formatDouble(1234.5), "1234.5");
    EXPECT_EQ(foundation::parseDouble("0.5"), 0.5);
    EXPECT_EQ(foundation::parseDouble("0,5"), std::nullopt);
}

TEST(Parse, WholeTextOnly) {
    using foundation::parseDouble;
    using foundation::parseInt64;
    EXPECT_EQ(parseInt64("42"), 42);
    EXPECT_EQ(parseInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(parseInt64("+7"), 7);
    for (const char* bad : {"", " 1", "1 ", "1.0", "+-1", "+", "-", "9223372036854775808", "0x10", "12a"}) {
        EXPECT_EQ(parseInt64(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(parseDouble("1.5"), 1.5);
    EXPECT_EQ(parseDouble("-2e3"), -2000.0);
    EXPECT_EQ(parseDouble("+.5"), 0.5);
    EXPECT_EQ(parseDouble("0x1p3"), 8.0);
    EXPECT_EQ(parseDouble("1e400"), inf);
    EXPECT_EQ(parseDouble("-1e400"), -inf);
    EXPECT_EQ(parseDouble("1e-400"), 0.0);
    EXPECT_EQ(parseDouble("inf"), inf);
    EXPECT_TRUE(std::isnan(*parseDouble("nan")));
    for (const char* bad : {"", " 1", "1 ", "1,5", "abc", "+-1", "--1", "1e", "0x"}) {
        EXPECT_EQ(parseDouble(bad), std::nullopt) << bad;
    }
}

}  // namespace
