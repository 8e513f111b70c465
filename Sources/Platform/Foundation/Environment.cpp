#include "Platform/Foundation/Environment.hpp"

#include <cstdlib>
#include <mutex>

namespace foundation {

namespace {

std::mutex& overrideMutex() {
    static std::mutex mutex;
    return mutex;
}

// The installed override; each ScopedEnvironmentOverride keeps the one it replaced.
std::optional<std::map<std::string, std::string>>& currentOverride() {
    static std::optional<std::map<std::string, std::string>> current;
    return current;
}

}  // namespace

std::optional<std::string> environmentValue(std::string_view name) {
    std::lock_guard lock(overrideMutex());
    const auto& current = currentOverride();
    if (current) {
        auto it = current->find(std::string(name));
        if (it == current->end()) return std::nullopt;
        return it->second;
    }
    const char* value = std::getenv(std::string(name).c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

ScopedEnvironmentOverride::ScopedEnvironmentOverride(std::map<std::string, std::string> variables) {
    std::lock_guard lock(overrideMutex());
    previous_ = std::move(currentOverride());
    currentOverride() = std::move(variables);
}

ScopedEnvironmentOverride::~ScopedEnvironmentOverride() {
    std::lock_guard lock(overrideMutex());
    currentOverride() = std::move(previous_);
}

}  // namespace foundation
