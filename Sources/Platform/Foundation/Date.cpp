#include "Platform/Foundation/Date.hpp"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/simpletz.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <ctime>
#include <memory>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

std::shared_ptr<Clock> SystemClock::shared() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

namespace {

// The local zone as the C library sees it now. ICU caches its default zone for the life of the
// process, so it is detected again on each call, which keeps a changed TZ in effect. A TZ value
// ICU cannot name (a POSIX rule string, say) falls back to the offset the C library computes.
std::unique_ptr<icu::TimeZone> localTimeZone(Date date) {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    if (zone && *zone != icu::TimeZone::getUnknown()) return zone;
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    tzset();
    long offset = localtime_r(&seconds, &local) ? local.tm_gmtoff : 0;
    const char* name = local.tm_zone ? local.tm_zone : "GMT";
    return std::make_unique<icu::SimpleTimeZone>(static_cast<int32_t>(offset * 1000),
                                                 icu::UnicodeString::fromUTF8(name));
}

}  // namespace

std::string formatDate(Date date, std::string_view pattern) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(),
                                                                                    static_cast<int32_t>(pattern.size()))),
                                    icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) throw RuntimeError("Invalid date format \"" + std::string(pattern) + "\": " + u_errorName(status));
    formatter.adoptTimeZone(localTimeZone(date).release());
    // UDate counts milliseconds; "SSS" truncates the fraction. Dates made from seconds held in a
    // double carry sub-microsecond noise (x.789 is x.78899999...), so round to microseconds first.
    auto micros = std::chrono::round<std::chrono::microseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter.format(static_cast<UDate>(static_cast<double>(micros) / 1000.0), text);
    std::string out;
    text.toUTF8String(out);
    return out;
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
