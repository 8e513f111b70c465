#pragma once
// In-memory notification centre, privacy gates and user defaults.
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/UserDefaults.hpp"
#include "Platform/Notifications/NSUserNotification.hpp"
#include "Platform/Privacy/Privacy.hpp"

namespace fakes {

class FakeNotificationCenter : public notifications::NSUserNotificationCenter {
public:
    void deliver(const notifications::NSUserNotification& notification) override { delivered.push_back(notification); }
    std::vector<notifications::NSUserNotification> delivered;
};

// Answers the request on a thread of its own, as the platform may; the status then reads the answer.
class FakeAudioCaptureAuthorization : public privacy::AudioCaptureAuthorization {
public:
    ~FakeAudioCaptureAuthorization() override;
    privacy::AVAuthorizationStatus authorizationStatus() const override { return status; }
    void requestAccess(std::function<void(bool)> completion) override;

    privacy::AVAuthorizationStatus status = privacy::AVAuthorizationStatus::notDetermined;
    bool grant = true;
    int requestCount = 0;

private:
    std::vector<std::thread> threads_;
};

class FakeAccessibilityTrust : public privacy::AccessibilityTrust {
public:
    bool isProcessTrusted() const override { return trusted; }
    bool trusted = true;
};

// The volatile store serves as the fake.
using InMemoryUserDefaults = foundation::InMemoryUserDefaults;

}  // namespace fakes
