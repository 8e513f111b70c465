#include "Quorvel/Onboarding.hpp"

#include <memory>

namespace quorvel {

namespace {

using speech::SFSpeechRecognizerAuthorizationStatus;

}  // namespace

void Onboarding::runIfNeeded(std::function<void()> completion) {
    auto speechStep = [this, completion = std::move(completion)] {
        auto finish = [this, completion] {
            showAccessibilityDialog();
            if (isReady()) showReadyNotification();
            if (completion) completion();
        };
        if (services_.speech.authorizationStatus() != SFSpeechRecognizerAuthorizationStatus::authorized)
            requestSpeechPermission(finish);
        else
            finish();
    };
    if (services_.microphone.authorizationStatus() != privacy::AVAuthorizationStatus::authorized)
        requestMicPermission(speechStep);
    else
        speechStep();
}

void Onboarding::requestMicPermission(std::function<void()> next) {
    auto& executor = services_.mainExecutor;
    services_.microphone.requestAccess([this, &executor, next = std::move(next)](bool granted) {
        executor.post([this, granted, next] {
            if (!granted)
                explain("Microphone Access Required",
                        "Quorvel needs microphone access to transcribe your speech.\n\nOpen System Settings > Privacy & "
                        "Security > Microphone and enable Quorvel.",
                        privacy::PrivacyPane::microphone);
            next();
        });
    });
}

void Onboarding::requestSpeechPermission(std::function<void()> next) {
    auto& executor = services_.mainExecutor;
    services_.speech.requestAuthorization([this, &executor, next = std::move(next)](SFSpeechRecognizerAuthorizationStatus status) {
        executor.post([this, status, next] {
            if (status != SFSpeechRecognizerAuthorizationStatus::authorized)
                explain("Speech Recognition Required",
                        "Quorvel uses on-device speech recognition to convert your voice to text.\n\nOpen System "
                        "Settings > Privacy & Security > Speech Recognition and enable Quorvel.",
                        privacy::PrivacyPane::speechRecognition);
            next();
        });
    });
}

void Onboarding::showAccessibilityDialog() {
    if (services_.accessibility.isProcessTrusted()) return;
    explain("Accessibility Access Required",
            "Quorvel needs Accessibility access to paste text at your cursor position using Option+Space.\n\nSystem "
            "Settings will open. Add Quorvel to the Accessibility list and enable it.",
            privacy::PrivacyPane::accessibility);
}

bool Onboarding::isReady() const {
    return services_.microphone.authorizationStatus() == privacy::AVAuthorizationStatus::authorized &&
           services_.speech.authorizationStatus() == SFSpeechRecognizerAuthorizationStatus::authorized &&
           services_.accessibility.isProcessTrusted();
}

void Onboarding::showReadyNotification() {
    services_.notifications.deliver({"Quorvel is ready", "Press Option+Space to start dictating"});
}

void Onboarding::explain(const char* messageText, const char* informativeText, privacy::PrivacyPane pane) {
    appkit::NSAlert alert;
    alert.messageText = messageText;
    alert.informativeText = informativeText;
    alert.alertStyle = appkit::NSAlertStyle::informational;
    alert.addButton("Open Settings");
    alert.addButton("Later");
    if (services_.alerts.runModal(alert) == appkit::NSAlertFirstButtonReturn)
        services_.workspace.openURL(privacy::settingsURL(pane));
}

}  // namespace quorvel
