#include "PlatformFakes/FakeSystem.hpp"

namespace fakes {

FakeAudioCaptureAuthorization::~FakeAudioCaptureAuthorization() {
    for (auto& thread : threads_) thread.join();
}

void FakeAudioCaptureAuthorization::requestAccess(std::function<void(bool)> completion) {
    ++requestCount;
    status = grant ? privacy::AVAuthorizationStatus::authorized : privacy::AVAuthorizationStatus::denied;
    threads_.emplace_back([completion = std::move(completion), grant = grant] { completion(grant); });
}

std::optional<std::string> InMemoryUserDefaults::data(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

void InMemoryUserDefaults::setData(std::string_view key, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::string(bytes));
}

void InMemoryUserDefaults::removeObject(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto found = values_.find(key); found != values_.end()) values_.erase(found);
}

}  // namespace fakes
