#pragma once
// Time: an injectable wall clock and local date formatting.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace foundation {

using Date = std::chrono::system_clock::time_point;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

class SystemClock : public Clock {
public:
    Date now() const override { return std::chrono::system_clock::now(); }
    static std::shared_ptr<Clock> shared();
};

class FixedClock : public Clock {
public:
    explicit FixedClock(Date date) : date_(date) {}
    Date now() const override { return date_; }
    void set(Date date) { date_ = date; }

private:
    Date date_;
};

// Formats a date in the process's local time zone (TZ honoured) with a date-format pattern in the
// platform's syntax ("yyyy-MM-dd_HH-mm-ss", "yyyy-MM-dd HH:mm", "EEEE", quoted 'literal' text), in the
// fixed English POSIX locale so output never depends on the user's locale.
std::string formatDate(Date date, std::string_view pattern);
// An internet date-time in UTC, whole seconds: "2024-03-05T14:07:09Z" (the ISO 8601 formatter's default).
std::string formatISO8601(Date date);
// Seconds since 1970 as a double, and back.
double timeIntervalSince1970(Date date);
Date dateFromTimeIntervalSince1970(double seconds);

}  // namespace foundation
