#pragma once
// The process-wide logger of the engine: three level gates in front of a callback or the system log.
#include <atomic>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace pellux {

// Severity of one system-log entry.
enum class LogType { default_, info, debug, error, fault };

// One signpost event: the start or the end of a named interval.
enum class SignpostPhase { begin, end };

// The destination of messages when no callback is installed: the system log on Linux (syslog), an
// in-memory recorder in tests. Implementations must be safe to call from any thread.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogType type, std::string_view subsystem, std::string_view category,
                       std::string_view message) = 0;
    // Only reached while signposts are enabled.
    virtual void signpost(SignpostPhase phase, std::string_view subsystem, std::string_view name, uint64_t id) {
        (void)phase, (void)subsystem, (void)name, (void)id;
    }
    // A signpost of a named log category with a message (empty for most); by default the plain form.
    virtual void signpost(SignpostPhase phase, std::string_view subsystem, std::string_view category,
                          std::string_view name, uint64_t id, std::string_view message) {
        (void)category, (void)message;
        signpost(phase, subsystem, name, id);
    }
};

// Writes through syslog(3), prefixing each entry with its subsystem and category.
class SyslogSink final : public LogSink {
public:
    void write(LogType type, std::string_view subsystem, std::string_view category, std::string_view message) override;
    void signpost(SignpostPhase phase, std::string_view subsystem, std::string_view name, uint64_t id) override;
};

// Keeps every entry in memory, for tests.
class InMemoryLogSink final : public LogSink {
public:
    struct Entry {
        LogType type;
        std::string subsystem;
        std::string category;
        std::string message;
    };
    struct SignpostEvent {
        SignpostPhase phase;
        std::string name;
        uint64_t id;
        std::string category{};
        std::string message{};
    };
    void write(LogType type, std::string_view subsystem, std::string_view category, std::string_view message) override;
    void signpost(SignpostPhase phase, std::string_view subsystem, std::string_view name, uint64_t id) override;
    void signpost(SignpostPhase phase, std::string_view subsystem, std::string_view category, std::string_view name,
                  uint64_t id, std::string_view message) override;
    std::vector<Entry> entries() const;
    std::vector<SignpostEvent> signposts() const;

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<SignpostEvent> signposts_;
};

namespace detail {

template <class T>
concept HasDescription = requires(const T& v) {
    { v.description() } -> std::convertible_to<std::string>;
};

template <class T>
concept HasFreeDescription = requires(const T& v) {
    { description(v) } -> std::convertible_to<std::string>;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
std::string logDescription(const T& value);

// Inside containers and optionals the platform prints texts quoted.
template <class T>
std::string logDebugDescription(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, std::nullptr_t>) {
        return foundation::debugQuoted(std::string_view(value));
    } else {
        return logDescription(value);
    }
}

// A value as the platform's print writes it.
template <class T>
std::string logDescription(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, char>) {
        return std::string(1, value);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (std::is_same_v<T, double>) {
        return foundation::formatDouble(value);
    } else if constexpr (std::is_same_v<T, float>) {
        return foundation::formatFloat(value);
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(value);
    } else if constexpr (HasDescription<T>) {
        return std::string(value.description());
    } else if constexpr (HasFreeDescription<T>) {
        return std::string(description(value));
    } else if constexpr (std::is_base_of_v<foundation::Error, T>) {
        return value.describe();
    } else if constexpr (std::is_base_of_v<std::exception, T>) {
        return value.what();
    } else if constexpr (IsOptional<T>::value) {
        return value ? "Optional(" + logDebugDescription(*value) + ")" : std::string("nil");
    } else if constexpr (IsVector<T>::value) {
        std::string out = "[";
        for (size_t i = 0; i < value.size(); ++i) {
            if (i > 0) out += ", ";
            out += logDebugDescription(value[i]);
        }
        return out + "]";
    } else {
        static_assert(sizeof(T) == 0, "no textual form for this log item: give the type a description()");
    }
}

}  // namespace detail

class Logging {
public:
    enum class LogLevel : int64_t { debug = 1, info = 2, error = 3, none = 4 };

    // A level from its raw value; any other integer gives no level.
    static std::optional<LogLevel> logLevelFromRawValue(int64_t rawValue);
    static int64_t rawValue(LogLevel level) { return static_cast<int64_t>(level); }

    // Receives each message that passes a gate, on the thread that logged.
    using LoggingCallback = std::function<void(const std::string& message)>;

    // Separator and terminator of a gate or of log(); the terminator is accepted and never written.
    // Views only: a Format lives for one call.
    struct Format {
        std::string_view separator = " ";
        std::string_view terminator = "\n";
    };

    // The one instance, created on first use.
    static Logging& shared();

    Logging(const Logging&) = delete;
    Logging& operator=(const Logging&) = delete;

    LogLevel logLevel() const { return logLevel_.load(std::memory_order_relaxed); }
    void setLogLevel(LogLevel level) { logLevel_.store(level, std::memory_order_relaxed); }

    // An empty function means no callback: messages then go to the system log.
    LoggingCallback loggingCallback() const;
    void setLoggingCallback(LoggingCallback callback);

    // Replaces the system-log destination (tests install an InMemoryLogSink); returns the previous one.
    // A null sink restores syslog.
    std::shared_ptr<LogSink> setSystemLogSink(std::shared_ptr<LogSink> sink);

    // The system log's subsystem and category of every entry.
    static const std::string& subsystem();
    static constexpr std::string_view category = "Pellux";

    // Renders the items and routes one message; no level check of its own.
    template <class... Items>
    void log(LogType type, const Format& format, const Items&... items) {
        route(join(format.separator, items...), type);
    }

    // The gates: the level is read first, nothing is rendered unless it passes.
    template <class... Items>
    static void debug(const Items&... items) {
        gate(LogLevel::debug, LogType::debug, Format{}, items...);
    }
    template <class... Items>
    static void debug(const Format& format, const Items&... items) {
        gate(LogLevel::debug, LogType::debug, format, items...);
    }
    template <class... Items>
    static void info(const Items&... items) {
        gate(LogLevel::info, LogType::info, Format{}, items...);
    }
    template <class... Items>
    static void info(const Format& format, const Items&... items) {
        gate(LogLevel::info, LogType::info, format, items...);
    }
    template <class... Items>
    static void error(const Items&... items) {
        gate(LogLevel::error, LogType::error, Format{}, items...);
    }
    template <class... Items>
    static void error(const Format& format, const Items&... items) {
        gate(LogLevel::error, LogType::error, format, items...);
    }

    // True when a message of this severity would be written now.
    static bool passes(LogLevel severity) { return rawValue(shared().logLevel()) <= rawValue(severity); }

    // One row of the timing report: time in seconds, number of runs, full pipeline duration in ms.
    static std::string formatTimeWithPercentage(double time, double runs, double fullPipelineDuration);
    static void logCurrentMemoryUsage(const std::string& message);
    // Resident memory in whole MiB; 0 when it cannot be read.
    static uint64_t getMemoryUsage();

private:
    Logging();

    template <class... Items>
    static void gate(LogLevel severity, LogType type, const Format& format, const Items&... items) {
        if (!passes(severity)) return;
        shared().log(type, format, items...);
    }

    template <class... Items>
    static std::string join(std::string_view separator, const Items&... items) {
        std::string message;
        size_t index = 0;
        auto append = [&](const auto& item) {
            if (index++ > 0) message += separator;
            message += detail::logDescription(item);
        };
        (append(items), ...);
        (void)append;
        return message;
    }

    friend class Signposts;
    void route(const std::string& message, LogType type);
    std::shared_ptr<LogSink> currentSink() const;

    std::atomic<LogLevel> logLevel_{LogLevel::none};
    mutable std::mutex mutex_;  // guards callback_ and sink_; never held while either is called
    std::shared_ptr<const LoggingCallback> callback_;
    std::shared_ptr<LogSink> sink_;
};

uint64_t getMemoryUsage();
void logCurrentMemoryUsage(const std::string& message);

// Named intervals ("TranscribeAudio", "Decode", ...) for profiling. Off by default, when they cost one
// atomic read; when enabled, each begin and end goes to the system-log sink.
class Signposts {
public:
    static void setEnabled(bool enabled);
    static bool isEnabled();
    // Returns the interval's id (0 while disabled); pass it to endInterval.
    static uint64_t beginInterval(std::string_view name);
    static void endInterval(std::string_view name, uint64_t id);
    // For loggers of their own category: a fresh id (never 0), and one event to the system-log sink
    // whether or not signposts are enabled (the caller checks).
    static uint64_t makeID();
    static void emit(SignpostPhase phase, std::string_view subsystem, std::string_view category, std::string_view name,
                     uint64_t id, std::string_view message);
};

// Begins an interval now and ends it when the scope closes.
class SignpostInterval {
public:
    explicit SignpostInterval(std::string_view name) : id_(Signposts::beginInterval(name)) {
        if (id_ != 0) name_ = name;
    }
    ~SignpostInterval() {
        if (id_ != 0) Signposts::endInterval(name_, id_);
    }
    SignpostInterval(const SignpostInterval&) = delete;
    SignpostInterval& operator=(const SignpostInterval&) = delete;

private:
    uint64_t id_;
    std::string name_;
};

}  // namespace pellux
