#pragma once
// The options record handed to every decoding stage, with its two small enumerations.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

enum class DecodingTask { transcribe, translate };

std::string_view description(DecodingTask task);
inline constexpr std::array<DecodingTask, 2> allDecodingTasks{DecodingTask::transcribe, DecodingTask::translate};
// {"transcribe": {}} or {"translate": {}}.
void encode(DecodingTask task, foundation::JSONWriter& writer);
DecodingTask decodeDecodingTask(const foundation::JSONValue& value);

enum class ChunkingStrategy { none, vad };

std::string_view rawValue(ChunkingStrategy strategy);
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue);
inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies{ChunkingStrategy::none, ChunkingStrategy::vad};
void encode(ChunkingStrategy strategy, foundation::JSONWriter& writer);
ChunkingStrategy decodeChunkingStrategy(const foundation::JSONValue& value);

// One stretch of audio to transcribe, in sample indices.
struct SeekClip {
    int64_t start = 0;
    int64_t end = 0;
    bool operator==(const SeekClip&) const = default;
};

struct DecodingOptions {
    // Construction arguments. Three are optional although their fields are not: an absent
    // `detectLanguage` is the opposite of `usePrefillPrompt`, absent `supressTokens` is empty and an
    // absent `concurrentWorkerCount` is 16.
    struct Params {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language{};
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        int64_t temperatureFallbackCount = 5;
        int64_t sampleLength = 224;
        int64_t topK = 5;
        bool usePrefillPrompt = true;
        bool usePrefillCache = true;
        std::optional<bool> detectLanguage{};
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp{};
        std::optional<int64_t> maxWindowSeek{};
        std::vector<float> clipTimestamps{};
        float windowClipTime = 1.0f;
        std::optional<std::vector<int64_t>> promptTokens{};
        std::optional<std::vector<int64_t>> prefixTokens{};
        bool suppressBlank = false;
        std::optional<std::vector<int64_t>> supressTokens{};
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<int64_t> concurrentWorkerCount{};
        std::optional<ChunkingStrategy> chunkingStrategy{};
    };

    DecodingOptions() : DecodingOptions(Params{}) {}
    explicit DecodingOptions(const Params& params);

    bool verbose;
    DecodingTask task;
    std::optional<std::string> language;
    float temperature;
    float temperatureIncrementOnFallback;
    int64_t temperatureFallbackCount;
    int64_t sampleLength;
    int64_t topK;
    bool usePrefillPrompt;
    bool usePrefillCache;
    bool detectLanguage;
    bool skipSpecialTokens;
    bool withoutTimestamps;
    bool wordTimestamps;
    std::optional<float> maxInitialTimestamp;
    std::optional<int64_t> maxWindowSeek;
    std::vector<float> clipTimestamps;
    float windowClipTime;
    std::optional<std::vector<int64_t>> promptTokens;
    std::optional<std::vector<int64_t>> prefixTokens;
    bool suppressBlank;
    std::vector<int64_t> supressTokens;  // spelt with one "p", as the encoded key is
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<float> firstTokenLogProbThreshold;
    std::optional<float> noSpeechThreshold;
    int64_t concurrentWorkerCount;
    std::optional<ChunkingStrategy> chunkingStrategy;

    // The clip timestamps (seconds) as (start, end) sample ranges; no timestamps give (0, contentFrames),
    // an odd count is closed by contentFrames. Ranges are not checked against the audio or each other.
    // A timestamp whose sample index is not a finite 64-bit integer is read as a bound of the audio:
    // +inf (or beyond the integer range upwards) as contentFrames, -inf, NaN (or beyond it downwards) as 0.
    std::vector<SeekClip> prepareSeekClips(int64_t contentFrames) const;

    // Every non-optional field is written, optional ones only when present. Reading requires the 18
    // non-optional keys and applies no defaults.
    void encode(foundation::JSONWriter& writer) const;
    static DecodingOptions decode(const foundation::JSONValue& value);
};

}  // namespace lexiphonic
