#pragma once
// The engine's one error type: twelve cases, each carrying a message.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Error.hpp"

namespace lexiphonic {

class WhisperError : public foundation::Error {
public:
    // Declared order is the platform error code (0 to 11).
    enum class Case {
        tokenizerUnavailable,
        modelsUnavailable,
        prefillFailed,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Case errorCase, std::string message);

    static WhisperError tokenizerUnavailable(std::string message);
    static WhisperError modelsUnavailable(std::string message);
    static WhisperError prefillFailed(std::string message);
    static WhisperError audioProcessingFailed(std::string message);
    static WhisperError decodingLogitsFailed(std::string message);
    static WhisperError segmentingFailed(std::string message);
    static WhisperError loadAudioFailed(std::string message);
    static WhisperError prepareDecoderInputsFailed(std::string message);
    static WhisperError transcriptionFailed(std::string message);
    static WhisperError decodingFailed(std::string message);
    static WhisperError microphoneUnavailable(std::string message);
    static WhisperError initializationError(std::string message);

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }

    // The localized description: logs the message at error level on every read, then returns it.
    std::optional<std::string> errorDescription() const;
    std::string localizedDescription() const override;
    // The other localized-error texts are never given.
    std::optional<std::string> failureReason() const { return std::nullopt; }
    std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
    std::optional<std::string> helpAnchor() const { return std::nullopt; }
    // `caseName("message")`.
    std::string describe() const override;

    // As a platform error object: domain "Lexiphonic.WhisperError", code = the case's position.
    static constexpr std::string_view errorDomain = "Lexiphonic.WhisperError";
    int64_t code() const { return static_cast<int64_t>(case_); }

    static std::string_view caseName(Case errorCase);

    bool operator==(const WhisperError& other) const {
        return case_ == other.case_ && message_ == other.message_;
    }

private:
    Case case_;
    std::string message_;
};

}  // namespace lexiphonic
