#pragma once
// In-memory notification centre, privacy gates and user defaults.
#include <functional>
#include <map>
#include <mutex>
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

class InMemoryUserDefaults : public foundation::UserDefaults {
public:
    std::optional<std::string> data(std::string_view key) const override;
    void setData(std::string_view key, std::string_view bytes) override;
    void removeObject(std::string_view key) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace fakes
