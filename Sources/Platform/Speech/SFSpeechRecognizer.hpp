#pragma once
// The platform speech recogniser: authorization, recognisers per locale, and recognition of an audio
// file that reports its final result.
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace speech {

enum class SFSpeechRecognizerAuthorizationStatus { notDetermined, denied, restricted, authorized };

struct SFSpeechURLRecognitionRequest {
    std::filesystem::path url;
    bool requiresOnDeviceRecognition = false;
    bool shouldReportPartialResults = true;
};

struct SFTranscription {
    std::string formattedString;
};

struct SFSpeechRecognitionResult {
    SFTranscription bestTranscription;
    bool isFinal = false;
};

class SFSpeechRecognitionTask {
public:
    virtual ~SFSpeechRecognitionTask() = default;
    virtual void cancel() = 0;
};

class SFSpeechRecognizer {
public:
    // Called on a thread of the recogniser, possibly several times: partial results, then a final
    // result or an error.
    using ResultHandler = std::function<void(std::optional<SFSpeechRecognitionResult> result, std::exception_ptr error)>;

    virtual ~SFSpeechRecognizer() = default;
    virtual bool supportsOnDeviceRecognition() const = 0;
    virtual void setSupportsOnDeviceRecognition(bool supports) = 0;
    virtual bool isAvailable() const = 0;
    virtual std::shared_ptr<SFSpeechRecognitionTask> recognitionTask(const SFSpeechURLRecognitionRequest& request,
                                                                     ResultHandler resultHandler) = 0;
};

class SpeechRecognition {
public:
    virtual ~SpeechRecognition() = default;
    virtual SFSpeechRecognizerAuthorizationStatus authorizationStatus() const = 0;
    // The completion runs once, on any thread.
    virtual void requestAuthorization(std::function<void(SFSpeechRecognizerAuthorizationStatus)> completion) = 0;
    // A recogniser for the locale ("ru-RU"), or nothing when the locale has none.
    virtual std::shared_ptr<SFSpeechRecognizer> makeRecognizer(std::string_view localeIdentifier) = 0;
};

// The platform recogniser on systems that have none (Linux): no locale has a recogniser. Nothing
// needs to be authorized, so the status reads authorized and no one is asked in vain.
class UnavailableSpeechRecognition : public SpeechRecognition {
public:
    SFSpeechRecognizerAuthorizationStatus authorizationStatus() const override {
        return SFSpeechRecognizerAuthorizationStatus::authorized;
    }
    void requestAuthorization(std::function<void(SFSpeechRecognizerAuthorizationStatus)> completion) override {
        completion(SFSpeechRecognizerAuthorizationStatus::authorized);
    }
    std::shared_ptr<SFSpeechRecognizer> makeRecognizer(std::string_view) override { return nullptr; }
};

}  // namespace speech
