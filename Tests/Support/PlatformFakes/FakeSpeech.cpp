#include "PlatformFakes/FakeSpeech.hpp"

namespace fakes {

namespace {

class FakeTask : public speech::SFSpeechRecognitionTask {
public:
    void cancel() override {}
};

}  // namespace

FakeSpeechRecognizer::~FakeSpeechRecognizer() {
    for (auto& thread : threads_) thread.join();
}

std::shared_ptr<speech::SFSpeechRecognitionTask> FakeSpeechRecognizer::recognitionTask(
    const speech::SFSpeechURLRecognitionRequest& request, ResultHandler resultHandler) {
    Seen seen{request, std::nullopt};
    std::error_code error;
    if (auto size = std::filesystem::file_size(request.url, error); !error) seen.fileSize = size;
    std::lock_guard lock(mutex_);
    seen_.push_back(seen);
    threads_.emplace_back([calls = calls, handler = std::move(resultHandler)] {
        for (auto& call : calls) handler(call.result, call.error);
    });
    return std::make_shared<FakeTask>();
}

std::vector<FakeSpeechRecognizer::Seen> FakeSpeechRecognizer::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

FakeSpeechRecognition::~FakeSpeechRecognition() {
    for (auto& thread : threads_) thread.join();
}

void FakeSpeechRecognition::requestAuthorization(
    std::function<void(speech::SFSpeechRecognizerAuthorizationStatus)> completion) {
    std::lock_guard lock(mutex_);
    ++requests_;
    status = answer;
    threads_.emplace_back([completion = std::move(completion), answer = answer] { completion(answer); });
}

std::shared_ptr<speech::SFSpeechRecognizer> FakeSpeechRecognition::makeRecognizer(std::string_view localeIdentifier) {
    auto found = recognizers.find(localeIdentifier);
    return found == recognizers.end() ? nullptr : found->second;
}

int FakeSpeechRecognition::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace fakes
