#include "Platform/Foundation/Date.hpp"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/simpletz.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace foundation {

std::shared_ptr<Clock> SystemClock::shared() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

namespace {

// The local zone as the C library sees it at `date`. ICU caches its default zone for the life of
// the process, so the host zone is detected again on each call, which keeps a changed TZ in effect.
// Where ICU reads TZ differently from the C library (POSIX rule strings such as "<+0330>-3:30" or
// an empty TZ), the C library's offset wins: it is what every other local time in the process uses.
std::unique_ptr<icu::TimeZone> localTimeZone(Date date, UDate when) {
    static std::mutex detectMutex;  // detection keeps its answer in ICU-internal static buffers
    std::unique_ptr<icu::TimeZone> zone;
    {
        std::lock_guard lock(detectMutex);
        tzset();
        zone.reset(icu::TimeZone::detectHostTimeZone());
    }
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return zone;
    const int32_t offset = static_cast<int32_t>(local.tm_gmtoff * 1000);
    if (zone) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t raw = 0, dst = 0;
        zone->getOffset(when, false, raw, dst, status);
        if (U_SUCCESS(status) && raw + dst == offset) return zone;
    }
    return std::make_unique<icu::SimpleTimeZone>(offset, icu::UnicodeString::fromUTF8(local.tm_zone ? local.tm_zone : "GMT"));
}

}  // namespace

std::string formatDate(Date date, std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(),
                                                                                    static_cast<int32_t>(pattern.size()))),
                                    icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) throw RuntimeError("Invalid date format \"" + std::string(pattern) + "\": " + u_errorName(status));
    // UDate counts milliseconds; "SSS" truncates the fraction. Dates made from seconds held in a
    // double carry sub-microsecond noise (x.789 is x.78899999...), so round to microseconds first.
    auto micros = std::chrono::round<std::chrono::microseconds>(date.time_since_epoch()).count();
    const UDate when = static_cast<UDate>(static_cast<double>(micros) / 1000.0);
    formatter.adoptTimeZone(localTimeZone(date, when).release());
    icu::UnicodeString text;
    formatter.format(when, text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string formatISO8601(Date date) {
    // Whole seconds towards the past, so a time just before midnight never reads as the next day.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!gmtime_r(&time, &utc)) throw RuntimeError("Date out of range for ISO 8601: " + std::to_string(seconds));
    return format("%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                  utc.tm_min, utc.tm_sec);
}

double timeIntervalSince1970(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

Date dateFromTimeIntervalSince1970(double seconds) {
    using Ticks = Date::duration;
    // Outside the clock's range (or NaN) the conversion would be undefined: clamp instead.
    const double limit = std::chrono::duration<double>(Ticks::max()).count() * 0.999;
    if (std::isnan(seconds)) seconds = 0;
    if (seconds > limit) seconds = limit;
    if (seconds < -limit) seconds = -limit;
    return Date(std::chrono::round<Ticks>(std::chrono::duration<double>(seconds)));
}

}  // namespace foundation
