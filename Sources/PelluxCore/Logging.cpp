#include "PelluxCore/Logging.hpp"

#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <utility>

namespace pellux {

namespace {

int syslogPriority(LogType type) {
    switch (type) {
        case LogType::debug: return LOG_DEBUG;
        case LogType::info: return LOG_INFO;
        case LogType::default_: return LOG_NOTICE;
        case LogType::error: return LOG_ERR;
        case LogType::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

std::atomic<bool> signpostsEnabled{false};
std::atomic<uint64_t> nextSignpostID{1};

}  // namespace

void SyslogSink::write(LogType type, std::string_view subsystem, std::string_view category, std::string_view message) {
    // The message is an argument, never the format, so its text is written as it stands.
    syslog(LOG_USER | syslogPriority(type), "[%.*s:%.*s] %.*s", static_cast<int>(subsystem.size()), subsystem.data(),
           static_cast<int>(category.size()), category.data(), static_cast<int>(message.size()), message.data());
}

void SyslogSink::signpost(SignpostPhase phase, std::string_view subsystem, std::string_view name, uint64_t id) {
    syslog(LOG_USER | LOG_DEBUG, "[%.*s:signpost] %s %.*s #%llu", static_cast<int>(subsystem.size()), subsystem.data(),
           phase == SignpostPhase::begin ? "begin" : "end", static_cast<int>(name.size()), name.data(),
           static_cast<unsigned long long>(id));
}

void InMemoryLogSink::write(LogType type, std::string_view subsystem, std::string_view category,
                            std::string_view message) {
    std::lock_guard guard(mutex_);
    entries_.push_back({type, std::string(subsystem), std::string(category), std::string(message)});
}

void InMemoryLogSink::signpost(SignpostPhase phase, std::string_view, std::string_view name, uint64_t id) {
    std::lock_guard guard(mutex_);
    signposts_.push_back({phase, std::string(name), id});
}

void InMemoryLogSink::signpost(SignpostPhase phase, std::string_view, std::string_view category, std::string_view name,
                               uint64_t id, std::string_view message) {
    std::lock_guard guard(mutex_);
    signposts_.push_back({phase, std::string(name), id, std::string(category), std::string(message)});
}

std::vector<InMemoryLogSink::Entry> InMemoryLogSink::entries() const {
    std::lock_guard guard(mutex_);
    return entries_;
}

std::vector<InMemoryLogSink::SignpostEvent> InMemoryLogSink::signposts() const {
    std::lock_guard guard(mutex_);
    return signposts_;
}

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int64_t rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<LogLevel>(rawValue);
}

Logging::Logging() : sink_(std::make_shared<SyslogSink>()) {}

Logging& Logging::shared() {
    // A function-local static: created once, thread-safely, on first use; never destroyed, so logging
    // from threads that outlive main's return stays valid.
    static Logging* instance = new Logging();
    return *instance;
}

const std::string& Logging::subsystem() {
    // Linux processes carry no bundle identifier, so the fixed one is always used.
    static const std::string name = "com.pelluxinc.PelluxCore";
    return name;
}

Logging::LoggingCallback Logging::loggingCallback() const {
    std::lock_guard guard(mutex_);
    return callback_ ? *callback_ : LoggingCallback();
}

void Logging::setLoggingCallback(LoggingCallback callback) {
    auto stored = callback ? std::make_shared<const LoggingCallback>(std::move(callback)) : nullptr;
    std::shared_ptr<const LoggingCallback> previous;
    {
        std::lock_guard guard(mutex_);
        previous = std::exchange(callback_, std::move(stored));
    }
    // `previous` (and whatever it captured) is released here, outside the lock.
}

std::shared_ptr<LogSink> Logging::setSystemLogSink(std::shared_ptr<LogSink> sink) {
    if (!sink) sink = std::make_shared<SyslogSink>();
    std::lock_guard guard(mutex_);
    return std::exchange(sink_, std::move(sink));
}

std::shared_ptr<LogSink> Logging::currentSink() const {
    std::lock_guard guard(mutex_);
    return sink_;
}

void Logging::route(const std::string& message, LogType type) {
    std::shared_ptr<const LoggingCallback> callback;
    std::shared_ptr<LogSink> sink;
    {
        std::lock_guard guard(mutex_);
        callback = callback_;
        if (!callback) sink = sink_;
    }
    // Both are called outside the lock: a callback may log again or replace itself.
    if (callback) {
        (*callback)(message);
    } else {
        sink->write(type, subsystem(), category, message);
    }
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double fullPipelineDuration) {
    const double milliseconds = time * 1000;
    const double perRun = runs > 0 ? milliseconds / runs : 0;
    return foundation::format("%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", milliseconds, runs, perRun,
                              milliseconds / fullPipelineDuration * 100);
}

uint64_t Logging::getMemoryUsage() {
    // statm: total program size, then resident set size, both in pages.
    std::ifstream statm("/proc/self/statm");
    uint64_t totalPages = 0;
    uint64_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages)) return 0;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    return (residentPages * static_cast<uint64_t>(pageSize)) >> 20;
}

void Logging::logCurrentMemoryUsage(const std::string& message) {
    if (!passes(LogLevel::debug)) return;
    debug(message + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

uint64_t getMemoryUsage() { return Logging::getMemoryUsage(); }

void logCurrentMemoryUsage(const std::string& message) { Logging::logCurrentMemoryUsage(message); }

void Signposts::setEnabled(bool enabled) { signpostsEnabled.store(enabled, std::memory_order_relaxed); }

bool Signposts::isEnabled() { return signpostsEnabled.load(std::memory_order_relaxed); }

uint64_t Signposts::beginInterval(std::string_view name) {
    if (!isEnabled()) return 0;
    const uint64_t id = nextSignpostID.fetch_add(1, std::memory_order_relaxed);
    Logging::shared().currentSink()->signpost(SignpostPhase::begin, Logging::subsystem(), name, id);
    return id;
}

uint64_t Signposts::makeID() { return nextSignpostID.fetch_add(1, std::memory_order_relaxed); }

void Signposts::emit(SignpostPhase phase, std::string_view subsystem, std::string_view category, std::string_view name,
                     uint64_t id, std::string_view message) {
    Logging::shared().currentSink()->signpost(phase, subsystem, category, name, id, message);
}

void Signposts::endInterval(std::string_view name, uint64_t id) {
    if (id == 0) return;  // begun while disabled
    Logging::shared().currentSink()->signpost(SignpostPhase::end, Logging::subsystem(), name, id);
}

}  // namespace pellux
