#include "PelluxCore/ConcurrencyUtilities.hpp"

#include <unistd.h>

namespace pellux {

void EarlyStopActor::set(bool value, const foundation::UUID& id) {
    std::lock_guard guard(mutex_);
    shouldStop_[id] = value;
}

bool EarlyStopActor::get(const foundation::UUID& id) {
    std::lock_guard guard(mutex_);
    const auto found = shouldStop_.find(id);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const foundation::UUID& id) {
    std::lock_guard guard(mutex_);
    const auto found = shouldStop_.find(id);
    if (found == shouldStop_.end()) return std::nullopt;
    const bool value = found->second;
    shouldStop_.erase(found);
    return value;
}

int64_t ConcurrencyUtilities::activeProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? count : 1;
}

}  // namespace pellux
