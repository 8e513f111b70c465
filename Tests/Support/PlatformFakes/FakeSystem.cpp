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

}  // namespace fakes
