#pragma once
// A window's decoding result with its retry verdict, the per-step progress payload and the coarse
// transcription state.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/Models/DecodingInputs.hpp"
#include "Lexiphonic/Core/Models/TranscriptionTimings.hpp"

namespace lexiphonic {

struct DecodingFallback {
    bool needsFallback = false;
    std::string fallbackReason;

    // The verdict of the first rule that applies (first token too unlikely, silence, compression ratio,
    // average log-probability), or nothing when none does. Comparisons are strict, so a NaN meets none.
    static std::optional<DecodingFallback> make(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                float noSpeechProb, float compressionRatio, float avgLogProb);

    bool operator==(const DecodingFallback&) const = default;
};

struct DecodingResult {
    std::string language;
    std::map<std::string, float> languageProbs;
    std::vector<int64_t> tokens;
    std::vector<std::map<int64_t, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    std::optional<DecodingFallback> fallback;

    // Empty texts and lists, zero measures, no cache, timings or fallback.
    static DecodingResult emptyResults() { return DecodingResult{}; }
};

struct TranscriptionProgress {
    TranscriptionTimings timings;
    std::string text;  // decoded so far in the window
    std::vector<int64_t> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    int64_t windowId = 0;
};

// Called with each decoding step's progress; answering false asks the window to stop early, true or
// nothing lets it go on.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing", "Finished".
std::string_view description(TranscriptionState state);

}  // namespace lexiphonic
