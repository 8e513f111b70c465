#pragma once
// An in-memory speech recogniser: locales with recognisers, an authorization answer, and scripted
// recognition callbacks delivered on a thread of their own, as the platform does.
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Speech/SFSpeechRecognizer.hpp"

namespace fakes {

class FakeSpeechRecognizer : public speech::SFSpeechRecognizer {
public:
    struct Call {
        std::optional<speech::SFSpeechRecognitionResult> result;
        std::exception_ptr error;
    };
    ~FakeSpeechRecognizer() override;

    bool supportsOnDeviceRecognition() const override { return supportsOnDevice; }
    void setSupportsOnDeviceRecognition(bool supports) override { supportsOnDevice = supports; }
    bool isAvailable() const override { return available; }
    std::shared_ptr<speech::SFSpeechRecognitionTask> recognitionTask(const speech::SFSpeechURLRecognitionRequest& request,
                                                                     ResultHandler resultHandler) override;

    bool supportsOnDevice = true;
    bool available = true;
    // What the recogniser reports, in order, for every task.
    std::vector<Call> calls;

    // What the tasks saw: the request and the size of the file when recognition began (nothing when
    // the file did not exist).
    struct Seen {
        speech::SFSpeechURLRecognitionRequest request;
        std::optional<uintmax_t> fileSize;
    };
    std::vector<Seen> seen() const;

private:
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::vector<std::thread> threads_;
};

class FakeSpeechRecognition : public speech::SpeechRecognition {
public:
    ~FakeSpeechRecognition() override;
    speech::SFSpeechRecognizerAuthorizationStatus authorizationStatus() const override { return status; }
    // Answers with `answer` on a thread of its own; the status then reads that answer.
    void requestAuthorization(std::function<void(speech::SFSpeechRecognizerAuthorizationStatus)> completion) override;
    std::shared_ptr<speech::SFSpeechRecognizer> makeRecognizer(std::string_view localeIdentifier) override;

    speech::SFSpeechRecognizerAuthorizationStatus status = speech::SFSpeechRecognizerAuthorizationStatus::notDetermined;
    speech::SFSpeechRecognizerAuthorizationStatus answer = speech::SFSpeechRecognizerAuthorizationStatus::authorized;
    std::map<std::string, std::shared_ptr<FakeSpeechRecognizer>, std::less<>> recognizers;
    int requestCount() const;

private:
    mutable std::mutex mutex_;
    int requests_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace fakes
