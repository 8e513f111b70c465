#include "Platform/Privacy/Privacy.hpp"

namespace privacy {

std::string settingsURL(PrivacyPane pane) {
    switch (pane) {
        case PrivacyPane::microphone:
            return "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";
        case PrivacyPane::speechRecognition:
            return "x-apple.systempreferences:com.apple.preference.security?Privacy_SpeechRecognition";
        case PrivacyPane::accessibility:
            return "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    }
    return {};
}

}  // namespace privacy
