#include "Quorvel/Transcriber.hpp"

#include <atomic>
#include <future>
#include <stdexcept>
#include <unordered_set>

#include "Platform/AVFoundation/AVAudioFile.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Platform/Foundation/UUID.hpp"

namespace quorvel {

namespace {

using speech::SFSpeechRecognizerAuthorizationStatus;

// Runs the job on the main executor and waits for its result; inline when already there.
template <class F>
auto onMain(foundation::MainExecutor& executor, F job) -> decltype(job()) {
    if (executor.isMainThread()) return job();
    auto task = std::make_shared<std::packaged_task<decltype(job())()>>(std::move(job));
    auto result = task->get_future();
    executor.post([task] { (*task)(); });
    return result.get();
}

// Removes the file when the transcription ends, however it ends; a failed removal is ignored.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace

TranscriberError::TranscriberError(Case errorCase, std::string message) : case_(errorCase), message_(std::move(message)) {
    setWhat(describe());
}

std::string TranscriberError::localizedDescription() const {
    switch (case_) {
        case Case::lexiphonicFailed: return "Lexiphonic error: " + message_;
        case Case::notAvailable: return "Speech recognition not available";
        case Case::notAuthorized: return "Speech recognition not authorized";
    }
    return {};
}

std::string TranscriberError::describe() const {
    switch (case_) {
        case Case::lexiphonicFailed: return foundation::describeCase("lexiphonicFailed", message_);
        case Case::notAvailable: return foundation::describeCase("notAvailable");
        case Case::notAuthorized: return foundation::describeCase("notAuthorized");
    }
    return {};
}

AppleSpeechEngine::AppleSpeechEngine(std::string localeIdentifier, speech::SpeechRecognition& speech,
                                     foundation::MainExecutor& mainExecutor, std::filesystem::path temporaryDirectory)
    : locale_(std::move(localeIdentifier)),
      speech_(speech),
      mainExecutor_(mainExecutor),
      temporaryDirectory_(std::move(temporaryDirectory)) {}

std::string AppleSpeechEngine::transcribe(const avfoundation::AVAudioPCMBuffer& audio) {
    // The recogniser is made and asked on the main thread, as the platform wants.
    auto recognizer = onMain(mainExecutor_, [this] {
        auto made = speech_.makeRecognizer(locale_);
        if (!made) throw TranscriberError::notAvailable();
        made->setSupportsOnDeviceRecognition(true);
        if (!made->isAvailable()) throw TranscriberError::notAvailable();
        return made;
    });

    // The answer may come on any thread; only the first one counts.
    auto authorization = std::make_shared<std::promise<SFSpeechRecognizerAuthorizationStatus>>();
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto status = authorization->get_future();
    speech_.requestAuthorization([authorization, answered](SFSpeechRecognizerAuthorizationStatus answer) {
        if (!answered->exchange(true)) authorization->set_value(answer);
    });
    if (status.get() != SFSpeechRecognizerAuthorizationStatus::authorized) throw TranscriberError::notAuthorized();

    TemporaryFile file(temporaryDirectory_ / ("quorvel_" + foundation::UUID().uuidString() + ".wav"));
    {
        avfoundation::AVAudioFile writer(file.path(), {audio.format().sampleRate(), audio.format().channelCount(),
                                                       avfoundation::AVAudioCommonFormat::pcmFormatFloat32});
        writer.write(audio);
        writer.close();
    }

    speech::SFSpeechURLRecognitionRequest request{file.path(), true, false};
    auto outcome = std::make_shared<std::promise<std::string>>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto text = outcome->get_future();
    auto task = recognizer->recognitionTask(
        request, [outcome, finished](std::optional<speech::SFSpeechRecognitionResult> result, std::exception_ptr error) {
            if (error) {
                if (!finished->exchange(true)) outcome->set_exception(error);
            } else if (result && result->isFinal) {
                if (!finished->exchange(true)) outcome->set_value(result->bestTranscription.formattedString);
            }
        });
    return text.get();
}

Transcriber::Transcriber(const std::string& localeIdentifier, Services services) {
    auto recognizer = services.speech.makeRecognizer(localeIdentifier);
    if (recognizer && recognizer->supportsOnDeviceRecognition()) {
        services.print("[Quorvel] macOS 26+ detected → Apple Speech (on-device, 0 MB)");
        engine_ = std::make_shared<AppleSpeechEngine>(localeIdentifier, services.speech, services.mainExecutor,
                                                      services.temporaryDirectory);
    } else {
        if (!services.makeModuleEngine) throw std::invalid_argument("Transcriber: no speech-module engine to fall back on");
        services.print("[Quorvel] macOS <26 → Lexiphonic (will download ~1.5 GB model on first use)");
        engine_ = services.makeModuleEngine(localeIdentifier);
    }
}

std::string Transcriber::filterHallucinations(std::string_view text) {
    namespace t = foundation::text;
    // Built once, thread-safely, in normal form C so that a differently composed text still matches.
    static const std::unordered_set<std::string> hallucinations = [] {
        std::unordered_set<std::string> set;
        for (const char* phrase : {"Субтитры сделал Qwelmarn", "Редактор субтитров Ворлепс", "Продолжение следует...",
                                   "Спасибо за просмотр!", "Подписывайтесь на канал!", "Спасибо.", "Thank you.",
                                   "Thanks for watching!", "you"})
            set.insert(t::normalized(phrase, t::NormalizationForm::nfc));
        return set;
    }();
    std::string trimmed = t::trimmingWhitespaceAndNewlines(text);
    if (trimmed.empty() || hallucinations.contains(t::normalized(trimmed, t::NormalizationForm::nfc))) return {};
    return trimmed;
}

}  // namespace quorvel
