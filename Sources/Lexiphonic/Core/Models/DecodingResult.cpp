#include "Lexiphonic/Core/Models/DecodingResult.hpp"

namespace lexiphonic {

std::optional<DecodingFallback> DecodingFallback::make(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                       float noSpeechProb, float compressionRatio, float avgLogProb) {
    if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
    // Silence is tested before the quality rules and asks for no retry.
    if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) return DecodingFallback{false, "silence"};
    if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold)
        return DecodingFallback{true, "compressionRatioThreshold"};
    if (options.logProbThreshold && avgLogProb < *options.logProbThreshold)
        return DecodingFallback{true, "logProbThreshold"};
    return std::nullopt;
}

std::string_view description(TranscriptionState state) {
    switch (state) {
        case TranscriptionState::convertingAudio: return "Converting Audio";
        case TranscriptionState::transcribing: return "Transcribing";
        case TranscriptionState::finished: return "Finished";
    }
    return "Finished";
}

}  // namespace lexiphonic
