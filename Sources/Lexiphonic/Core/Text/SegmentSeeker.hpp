#pragma once
// Segments from a window's timestamp tokens, and word timings from its alignment weights by dynamic
// time warping. Stateless: one instance serves every window.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "Lexiphonic/Core/SegmentSeeking.hpp"

namespace lexiphonic {

class SegmentSeeker : public SegmentSeeking {
public:
    // The steps of the warping path: 0 diagonal, 1 token direction, 2 frame direction; -1 unwritten.
    struct TraceMatrix {
        int64_t rows = 0;
        int64_t columns = 0;
        std::vector<int8_t> cells;  // row-major
        int8_t at(int64_t i, int64_t j) const { return cells[static_cast<size_t>(i * columns + j)]; }
    };
    struct Path {
        std::vector<int64_t> textIndices;
        std::vector<int64_t> timeIndices;
    };
    struct DurationConstraints {
        float median = 0;
        float max = 0;
    };

    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount,
        int64_t currentSeek, int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) override;

    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const coreml::MLMultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, int64_t seek, int64_t segmentSize, std::string_view prependPunctuations,
        std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) override;

    // The path through the [N, M] matrix that maximises the summed weights. Throws
    // WhisperError::segmentingFailed "Invalid alignment matrix shape" unless the matrix has two
    // dimensions; an empty matrix gives an empty path.
    virtual Path dynamicTimeWarping(const coreml::MLMultiArray& withMatrix);
    // One cell: the smallest of the three candidates, each reduced by the cell's weight; ties go to the
    // frame direction.
    virtual std::pair<double, int8_t> minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                                      double matrixValue);
    // The path from the start, read backwards from the last cell; border steps carry -1.
    virtual Path backtrace(const TraceMatrix& fromTraceMatrix);
    // One timing per word of the tokens' split; none for fewer than two words.
    virtual std::vector<WordTiming> findAlignment(const std::vector<int64_t>& wordTokenIds,
                                                  const coreml::MLMultiArray& alignmentWeights,
                                                  const std::vector<float>& tokenLogProbs,
                                                  const WhisperTokenizer& tokenizer, const TranscriptionTimings& timings);
    // The upper median of the positive word durations, at most 0.7 s, and twice that.
    virtual DurationConstraints calculateWordDurationConstraints(const std::vector<WordTiming>& alignment);
    // Clips words longer than `maxDuration` next to a sentence end.
    virtual std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                          float maxDuration);
    // Joins opening punctuation onto the word after it and closing punctuation onto the word before
    // it, then drops the words that are punctuation alone. A word always keeps its own text and
    // times when punctuation joins it.
    virtual std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                                      std::string_view prepended, std::string_view appended);
    // Distributes the words over the segments in order and reconciles segment and word times.
    virtual std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
        const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, int64_t seek,
        float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer);
};

}  // namespace lexiphonic
