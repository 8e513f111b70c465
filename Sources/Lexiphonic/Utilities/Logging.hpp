#pragma once
// The engine's own log categories and their signposters: "AudioEncoding", "FeatureExtractor" and
// "TranscribeTask" under one subsystem, each created once on first use. The signposters bracket the
// engine's stages with named intervals; they cost one atomic read while signposts are disabled.
#include <cstdint>
#include <string>
#include <string_view>

namespace lexiphonic {

// The engine's log subsystem.
inline constexpr std::string_view logSubsystem = "com.pellux.lexiphonic";

struct Logger {
    std::string subsystem;
    std::string category;
};

class Signposter {
public:
    explicit Signposter(const Logger& logger) : subsystem_(logger.subsystem), category_(logger.category) {}
    bool isEnabled() const;
    uint64_t makeSignpostID() const;
    void emitBegin(std::string_view name, uint64_t id) const;
    void emitEnd(std::string_view name, uint64_t id, std::string_view message) const;
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

// An interval opened by beginSignpost; ending it consumes it.
struct SignpostIntervalState {
    uint64_t id = 0;
    bool isOpen = false;
};

namespace LogCategories {

struct AudioEncoding {
    static const Logger& logger();
    static const Signposter& signposter();
};
struct FeatureExtractor {
    static const Logger& logger();
    static const Signposter& signposter();
};
struct TranscribeTask {
    static const Logger& logger();
    static const Signposter& signposter();
};

}  // namespace LogCategories

// Opens an interval (emitted only while signposts are enabled); the returned state is open.
SignpostIntervalState beginSignpost(std::string_view name, const Signposter& signposter);
// Closes it while signposts are enabled: the end carries "[Error] Interval already ended" when the
// state was already consumed. While disabled nothing is emitted and the state stays as it was.
void endSignpost(std::string_view name, SignpostIntervalState& interval, const Signposter& signposter);

}  // namespace lexiphonic
