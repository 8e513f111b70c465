#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>

#include "Platform/Foundation/Compression.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/UUID.hpp"

namespace {

using foundation::UUID;

TEST(UUID, RandomVersion4InUpperCaseText) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        UUID id;
        const std::string text = id.uuidString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        for (char c : text) EXPECT_TRUE(c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << text;
        EXPECT_EQ(UUID::fromString(text), id);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUID, ParsesEitherCaseAndRejectsMalformedText) {
    auto id = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(id->bytes()[0], 0xE6);
    EXPECT_EQ(id->bytes()[15], 0x5F);
    EXPECT_EQ(std::hash<UUID>{}(*id), std::hash<UUID>{}(*UUID::fromString(id->uuidString())));
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",
                            "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "{621E1F8-C36C-495A-93FC-0C247A3E6E5}",
                            " 621E1F8-C36C-495A-93FC-0C247A3E6E5F"})
        EXPECT_EQ(UUID::fromString(bad), std::nullopt) << bad;
}

class ScopedTZ {
public:
    explicit ScopedTZ(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (previous_) setenv("TZ", previous_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST(Date, FormatsInTheLocalTimeZoneWithTheFixedEnglishLocale) {
    // 2024-07-01 12:34:56.789 UTC (a Monday) and 2024-01-15 23:05:00 UTC.
    const auto summer = foundation::dateFromTimeIntervalSince1970(1719837296.789);
    const auto winter = foundation::dateFromTimeIntervalSince1970(1705359900.0);
    struct Case {
        const char* zone;
        foundation::Date date;
        const char* pattern;
        const char* expected;
    };
    const Case cases[] = {
        {"UTC", summer, "yyyy-MM-dd_HH-mm-ss", "2024-07-01_12-34-56"},
        {"Europe/Berlin", summer, "yyyy-MM-dd_HH-mm-ss", "2024-07-01_14-34-56"},
        {"Europe/Berlin", winter, "yyyy-MM-dd HH:mm", "2024-01-16 00:05"},
        {"America/New_York", winter, "EEEE, MMMM d 'at' h:mm a", "Monday, January 15 at 6:05 PM"},
        {"Asia/Kolkata", summer, "HH:mm:ss.SSS", "18:04:56.789"},
        // POSIX rule strings: the C library's offset is used where ICU reads them otherwise.
        {"XYZ-3", summer, "yyyy-MM-dd HH:mm", "2024-07-01 15:34"},
        {"<+0330>-3:30", summer, "yyyy-MM-dd HH:mm", "2024-07-01 16:04"},
    };
    for (const auto& c : cases) {
        ScopedTZ tz(c.zone);
        EXPECT_EQ(foundation::formatDate(c.date, c.pattern), c.expected) << c.zone << " " << c.pattern;
    }
}

TEST(Date, ISO8601IsUTCWithWholeSecondsWhateverTheLocalZone) {
    ScopedTZ tz("Asia/Kolkata");
    EXPECT_EQ(foundation::formatISO8601(foundation::dateFromTimeIntervalSince1970(1719837296.789)), "2024-07-01T12:34:56Z");
    // Just before a midnight: the fraction is dropped, never rounded into the next day.
    EXPECT_EQ(foundation::formatISO8601(foundation::dateFromTimeIntervalSince1970(1704067199.9)), "2023-12-31T23:59:59Z");
    EXPECT_EQ(foundation::formatISO8601(foundation::dateFromTimeIntervalSince1970(-0.5)), "1969-12-31T23:59:59Z");
}

TEST(Date, ClocksAndTimeIntervals) {
    EXPECT_EQ(foundation::SystemClock::shared(), foundation::SystemClock::shared());
    const auto date = foundation::dateFromTimeIntervalSince1970(1.5);
    EXPECT_DOUBLE_EQ(foundation::timeIntervalSince1970(date), 1.5);
    EXPECT_DOUBLE_EQ(foundation::timeIntervalSince1970(foundation::dateFromTimeIntervalSince1970(-2.25)), -2.25);
    foundation::FixedClock clock(date);
    EXPECT_EQ(clock.now(), date);
    clock.set(foundation::Date{});
    EXPECT_EQ(foundation::timeIntervalSince1970(clock.now()), 0.0);
    // Out-of-range input is clamped, never undefined.
    EXPECT_GT(foundation::timeIntervalSince1970(foundation::dateFromTimeIntervalSince1970(1e300)), 1e9);
    EXPECT_EQ(foundation::timeIntervalSince1970(foundation::dateFromTimeIntervalSince1970(std::nan(""))), 0.0);
}

TEST(Compression, RawDeflateAtLevelFiveRoundTrips) {
    // A raw stream: no zlib header, and the bytes level 5 produces.
    EXPECT_EQ(foundation::deflateRaw(""), std::string("\x03\x00", 2));
    EXPECT_EQ(foundation::deflateRaw("hello hello hello hello"),
              std::string("\xcb\x48\xcd\xc9\xc9\x57\xc8\x40\x27\x01", 10));

    std::string repetitive;
    for (int i = 0; i < 20000; ++i) repetitive += "the same words again ";
    std::string noise(300000, '\0');
    std::mt19937 random(7);
    for (auto& c : noise) c = static_cast<char>(random());
    for (const std::string& input : {std::string(), std::string("a"), std::string("\0\xFF", 2), repetitive, noise}) {
        const std::string packed = foundation::deflateRaw(input);
        EXPECT_EQ(foundation::inflateRaw(packed), input);
    }
    EXPECT_LT(foundation::deflateRaw(repetitive).size(), repetitive.size() / 50);

    const std::string packed = foundation::deflateRaw(repetitive);
    for (const std::string& corrupt : {std::string("\xFF\xFF\xFF", 3), packed.substr(0, packed.size() / 2),
                                       packed + "extra", std::string()})
        EXPECT_THROW(foundation::inflateRaw(corrupt), foundation::RuntimeError);
}

TEST(Environment, OverrideReplacesTheWholeEnvironmentAndNests) {
    setenv("FOUNDATION_TEST_REAL", "real", 1);
    EXPECT_EQ(foundation::environmentValue("FOUNDATION_TEST_REAL"), "real");
    EXPECT_EQ(foundation::environmentValue("FOUNDATION_TEST_UNSET_NAME"), std::nullopt);
    {
        foundation::ScopedEnvironmentOverride outer(std::map<std::string, std::string>{{"BM_TOKEN", "outer"}});
        EXPECT_EQ(foundation::environmentValue("BM_TOKEN"), "outer");
        EXPECT_EQ(foundation::environmentValue("FOUNDATION_TEST_REAL"), std::nullopt);
        {
            foundation::ScopedEnvironmentOverride inner(
                std::map<std::string, std::string>{{"BM_TOKEN", "inner"}, {"EMPTY", ""}});
            EXPECT_EQ(foundation::environmentValue("BM_TOKEN"), "inner");
            EXPECT_EQ(foundation::environmentValue("EMPTY"), "");
        }
        EXPECT_EQ(foundation::environmentValue("BM_TOKEN"), "outer");
        EXPECT_EQ(foundation::environmentValue("EMPTY"), std::nullopt);
    }
    EXPECT_EQ(foundation::environmentValue("FOUNDATION_TEST_REAL"), "real");
    unsetenv("FOUNDATION_TEST_REAL");
}

}  // namespace
