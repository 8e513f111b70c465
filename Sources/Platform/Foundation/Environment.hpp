#pragma once
// The process environment, with an override that tests install instead of touching the real one.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// The value of a variable: the test override when one is installed, else the real environment.
std::optional<std::string> environmentValue(std::string_view name);

// While alive, environmentValue sees exactly these variables (absent names are unset).
// Overrides nest; not meant for concurrent installation from several threads.
class ScopedEnvironmentOverride {
public:
    explicit ScopedEnvironmentOverride(std::map<std::string, std::string> variables);
    ~ScopedEnvironmentOverride();
    ScopedEnvironmentOverride(const ScopedEnvironmentOverride&) = delete;
    ScopedEnvironmentOverride& operator=(const ScopedEnvironmentOverride&) = delete;

private:
    std::optional<std::map<std::string, std::string>> previous_;
};

}  // namespace foundation
