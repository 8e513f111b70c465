#include "Lexiphonic/Utilities/Logging.hpp"

#include "PelluxCore/Logging.hpp"

namespace lexiphonic {

bool Signposter::isEnabled() const { return pellux::Signposts::isEnabled(); }

uint64_t Signposter::makeSignpostID() const { return pellux::Signposts::makeID(); }

void Signposter::emitBegin(std::string_view name, uint64_t id) const {
    pellux::Signposts::emit(pellux::SignpostPhase::begin, subsystem_, category_, name, id, "");
}

void Signposter::emitEnd(std::string_view name, uint64_t id, std::string_view message) const {
    pellux::Signposts::emit(pellux::SignpostPhase::end, subsystem_, category_, name, id, message);
}

namespace LogCategories {

namespace {

struct Category {
    Logger logger;
    Signposter signposter;
    explicit Category(std::string_view name)
        : logger{std::string(logSubsystem), std::string(name)}, signposter(logger) {}
};

}  // namespace

#define LEXIPHONIC_LOG_CATEGORY(Name)                             \
    static const Category& Name##Category() {                     \
        static const Category category(#Name);                    \
        return category;                                          \
    }                                                             \
    const Logger& Name::logger() { return Name##Category().logger; } \
    const Signposter& Name::signposter() { return Name##Category().signposter; }

LEXIPHONIC_LOG_CATEGORY(AudioEncoding)
LEXIPHONIC_LOG_CATEGORY(FeatureExtractor)
LEXIPHONIC_LOG_CATEGORY(TranscribeTask)

#undef LEXIPHONIC_LOG_CATEGORY

}  // namespace LogCategories

SignpostIntervalState beginSignpost(std::string_view name, const Signposter& signposter) {
    const uint64_t id = signposter.makeSignpostID();
    if (signposter.isEnabled()) signposter.emitBegin(name, id);
    return {id, true};
}

void endSignpost(std::string_view name, SignpostIntervalState& interval, const Signposter& signposter) {
    if (!signposter.isEnabled()) return;
    const bool wasOpen = interval.isOpen;
    interval.isOpen = false;
    signposter.emitEnd(name, interval.id, wasOpen ? "" : "[Error] Interval already ended");
}

}  // namespace lexiphonic
