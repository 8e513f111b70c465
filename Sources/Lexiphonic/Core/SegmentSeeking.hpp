#pragma once
// The stage that cuts a decoded window into timed segments, says where the next window starts and
// adds word timings from the decoder's alignment weights. The configuration may name a replacement.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // The next seek point (a sample index) and the window's segments; no segments when the window was
    // judged silent. `specialToken` is not read.
    virtual std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount,
        int64_t currentSeek, int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) = 0;

    // The segments with words timed from the alignment weights (one row per token position of the
    // window, one column per 20 ms frame). `segmentSize`, `options` and `timings` are not read.
    // Throws WhisperError::segmentingFailed for alignment data of the wrong shape.
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const coreml::MLMultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, int64_t seek, int64_t segmentSize, std::string_view prependPunctuations,
        std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) = 0;
};

}  // namespace lexiphonic
