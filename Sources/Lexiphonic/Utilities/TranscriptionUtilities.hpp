#pragma once
// Stateless helpers over transcription results: moving a segment in time, display lines, comparing
// word lists by their words, and merging the results of several chunks of one recording.
#include <optional>
#include <string>
#include <vector>

#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"

namespace lexiphonic {

struct TranscriptionUtilities {
    // The segment (and its words) moved later by `seekTime` seconds; `seek` grows by the same time in
    // samples. A time whose sample count is not finite or leaves the integer range is clamped to it.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
    // "[1.50 --> 2.25] text" per segment, or the text alone.
    static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps = true);
    // The second list's leading words that match the first's, compared by their normalised text.
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                           const std::vector<WordTiming>& second);
    // The second list after that common prefix.
    static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                              const std::vector<WordTiming>& second);
    // One result: texts joined by a space (or the confirmed words run together), segments renumbered
    // in order, the first result's language, and the timings combined field by field.
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps = true);
std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second);
std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second);
std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);

}  // namespace lexiphonic
