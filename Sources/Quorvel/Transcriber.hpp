#pragma once
// Turning a recording into text: the engine protocol, the platform speech engine, the engine choice
// made once at launch, the hallucination filter, and the app's error type.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Speech/SFSpeechRecognizer.hpp"
#include "Quorvel/Console.hpp"

namespace quorvel {

class TranscriberEngine {
public:
    virtual ~TranscriberEngine() = default;
    // The recorder's mono 32-bit float buffer in, text out. Blocking: the dictation calls it on a pool
    // thread. Throws the engine's error.
    virtual std::string transcribe(const avfoundation::AVAudioPCMBuffer& audio) = 0;
};

class TranscriberError : public foundation::Error {
public:
    enum class Case { lexiphonicFailed, notAvailable, notAuthorized };

    static TranscriberError lexiphonicFailed(std::string message) { return {Case::lexiphonicFailed, std::move(message)}; }
    static TranscriberError notAvailable() { return {Case::notAvailable, {}}; }
    static TranscriberError notAuthorized() { return {Case::notAuthorized, {}}; }

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    std::string localizedDescription() const override;
    // `lexiphonicFailed("message")`, `notAvailable`, `notAuthorized`.
    std::string describe() const override;

private:
    TranscriberError(Case errorCase, std::string message);
    Case case_;
    std::string message_;
};

// The platform recogniser, on-device only, working from a temporary WAV file that lives for one
// transcription.
class AppleSpeechEngine : public TranscriberEngine {
public:
    // The services outlive the engine.
    AppleSpeechEngine(std::string localeIdentifier, speech::SpeechRecognition& speech, foundation::MainExecutor& mainExecutor,
                      std::filesystem::path temporaryDirectory);
    std::string transcribe(const avfoundation::AVAudioPCMBuffer& audio) override;

private:
    std::string locale_;
    speech::SpeechRecognition& speech_;
    foundation::MainExecutor& mainExecutor_;
    std::filesystem::path temporaryDirectory_;
};

class Transcriber {
public:
    // Makes the engine of this system's own speech module for the app's locale.
    using ModuleEngineFactory = std::function<std::shared_ptr<TranscriberEngine>(const std::string& localeIdentifier)>;
    struct Services {
        speech::SpeechRecognition& speech;
        foundation::MainExecutor& mainExecutor;
        ModuleEngineFactory makeModuleEngine;
        std::filesystem::path temporaryDirectory;
        PrintLine print;
    };

    // Chooses the engine once, on the main thread: the platform recogniser when it offers on-device
    // recognition for the locale, else the speech module's engine. Prints which.
    Transcriber(const std::string& localeIdentifier, Services services);

    const std::shared_ptr<TranscriberEngine>& engine() const { return engine_; }

    // The text trimmed of white space and newlines, or empty when that is empty or one of the known
    // hallucinations of speech models (compared as canonically equivalent text).
    static std::string filterHallucinations(std::string_view text);

private:
    std::shared_ptr<TranscriberEngine> engine_;
};

}  // namespace quorvel
