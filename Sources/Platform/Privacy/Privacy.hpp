#pragma once
// The privacy gates the system asks about: audio capture authorization, the accessibility trust of
// the process, and the settings panes where the user changes them.
#include <functional>
#include <string>

namespace privacy {

enum class AVAuthorizationStatus { notDetermined, restricted, denied, authorized };

class AudioCaptureAuthorization {
public:
    virtual ~AudioCaptureAuthorization() = default;
    virtual AVAuthorizationStatus authorizationStatus() const = 0;
    // Asks the user when undecided; the completion runs once, on any thread, with the answer.
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

class AccessibilityTrust {
public:
    virtual ~AccessibilityTrust() = default;
    // Whether the process may watch and post input events; never prompts.
    virtual bool isProcessTrusted() const = 0;
};

enum class PrivacyPane { microphone, speechRecognition, accessibility };
// The settings URL of the pane, for the workspace to open.
std::string settingsURL(PrivacyPane pane);

// Where the platform has no such gate (Linux desktops): capture is always authorized and the process
// is trusted.
class UngatedAudioCapture : public AudioCaptureAuthorization {
public:
    AVAuthorizationStatus authorizationStatus() const override { return AVAuthorizationStatus::authorized; }
    void requestAccess(std::function<void(bool)> completion) override { completion(true); }
};

class UngatedAccessibility : public AccessibilityTrust {
public:
    bool isProcessTrusted() const override { return true; }
};

}  // namespace privacy
