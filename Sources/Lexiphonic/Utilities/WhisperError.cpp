#include "Lexiphonic/Utilities/WhisperError.hpp"

#include "PelluxCore/Logging.hpp"

namespace lexiphonic {

WhisperError::WhisperError(Case errorCase, std::string message) : case_(errorCase), message_(std::move(message)) {
    // what() must not log, so it carries the textual form computed once here.
    setWhat(describe());
}

WhisperError WhisperError::tokenizerUnavailable(std::string m) { return {Case::tokenizerUnavailable, std::move(m)}; }
WhisperError WhisperError::modelsUnavailable(std::string m) { return {Case::modelsUnavailable, std::move(m)}; }
WhisperError WhisperError::prefillFailed(std::string m) { return {Case::prefillFailed, std::move(m)}; }
WhisperError WhisperError::audioProcessingFailed(std::string m) { return {Case::audioProcessingFailed, std::move(m)}; }
WhisperError WhisperError::decodingLogitsFailed(std::string m) { return {Case::decodingLogitsFailed, std::move(m)}; }
WhisperError WhisperError::segmentingFailed(std::string m) { return {Case::segmentingFailed, std::move(m)}; }
WhisperError WhisperError::loadAudioFailed(std::string m) { return {Case::loadAudioFailed, std::move(m)}; }
WhisperError WhisperError::prepareDecoderInputsFailed(std::string m) {
    return {Case::prepareDecoderInputsFailed, std::move(m)};
}
WhisperError WhisperError::transcriptionFailed(std::string m) { return {Case::transcriptionFailed, std::move(m)}; }
WhisperError WhisperError::decodingFailed(std::string m) { return {Case::decodingFailed, std::move(m)}; }
WhisperError WhisperError::microphoneUnavailable(std::string m) { return {Case::microphoneUnavailable, std::move(m)}; }
WhisperError WhisperError::initializationError(std::string m) { return {Case::initializationError, std::move(m)}; }

std::optional<std::string> WhisperError::errorDescription() const {
    pellux::Logging::error(message_);
    return message_;
}

std::string WhisperError::localizedDescription() const { return *errorDescription(); }

std::string WhisperError::describe() const { return foundation::describeCase(caseName(case_), message_); }

std::string_view WhisperError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::tokenizerUnavailable: return "tokenizerUnavailable";
        case Case::modelsUnavailable: return "modelsUnavailable";
        case Case::prefillFailed: return "prefillFailed";
        case Case::audioProcessingFailed: return "audioProcessingFailed";
        case Case::decodingLogitsFailed: return "decodingLogitsFailed";
        case Case::segmentingFailed: return "segmentingFailed";
        case Case::loadAudioFailed: return "loadAudioFailed";
        case Case::prepareDecoderInputsFailed: return "prepareDecoderInputsFailed";
        case Case::transcriptionFailed: return "transcriptionFailed";
        case Case::decodingFailed: return "decodingFailed";
        case Case::microphoneUnavailable: return "microphoneUnavailable";
        case Case::initializationError: return "initializationError";
    }
    return "initializationError";
}

}  // namespace lexiphonic
