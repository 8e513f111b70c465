#pragma once
// Permission onboarding at launch: asks for the microphone and speech recognition, explains refusals
// and a missing accessibility trust in alerts that open the matching settings pane, and says with a
// notification when everything is granted. A refusal never disables the app.
#include <functional>

#include "Platform/AppKit/NSAlert.hpp"
#include "Platform/AppKit/NSWorkspace.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Notifications/NSUserNotification.hpp"
#include "Platform/Privacy/Privacy.hpp"
#include "Platform/Speech/SFSpeechRecognizer.hpp"

namespace quorvel {

class Onboarding {
public:
    struct Services {
        privacy::AudioCaptureAuthorization& microphone;
        speech::SpeechRecognition& speech;
        privacy::AccessibilityTrust& accessibility;
        appkit::AlertPresenting& alerts;
        appkit::NSWorkspace& workspace;
        notifications::NSUserNotificationCenter& notifications;
        foundation::MainExecutor& mainExecutor;
    };
    // The services outlive the onboarding and any sequence it is running.
    explicit Onboarding(Services services) : services_(services) {}

    // The whole sequence, on the main executor; `completion` runs there at its end. The permission
    // requests may answer on any thread: each answer resumes the sequence on the main executor once.
    void runIfNeeded(std::function<void()> completion);

private:
    void requestMicPermission(std::function<void()> next);
    void requestSpeechPermission(std::function<void()> next);
    void showAccessibilityDialog();
    bool isReady() const;
    void showReadyNotification();
    // Runs a permission alert; "Open Settings" opens the pane, "Later" nothing.
    void explain(const char* messageText, const char* informativeText, privacy::PrivacyPane pane);

    Services services_;
};

}  // namespace quorvel
