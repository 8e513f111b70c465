#include "Platform/CoreML/Architecture.hpp"

namespace coreml {

ArchitectureRegistry& ArchitectureRegistry::shared() {
    // Built on first use, so registrars in any translation unit may run before or after this one.
    static ArchitectureRegistry registry;
    return registry;
}

void ArchitectureRegistry::add(const std::string& name, ArchitectureFactory factory) {
    std::lock_guard lock(mutex_);
    factories_[name] = std::move(factory);
}

ArchitectureFactory ArchitectureRegistry::find(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = factories_.find(name);
    return it == factories_.end() ? ArchitectureFactory{} : it->second;
}

std::vector<std::string> ArchitectureRegistry::names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const auto& entry : factories_) result.push_back(entry.first);
    return result;
}

}  // namespace coreml
