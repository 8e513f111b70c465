#include "Lexiphonic/Utilities/TranscriptionUtilities.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/Extensions+Public.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic {

namespace {

// A sample offset that fits: NaN is 0, anything beyond the integer range is its bound.
int64_t clampedSamples(float seconds) {
    const float samples = seconds * 16000.0f;
    if (std::isnan(samples)) return 0;
    if (samples >= 9.2e18f) return std::numeric_limits<int64_t>::max();
    if (samples <= -9.2e18f) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(samples);
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return sum;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
    TranscriptionSegment moved = segment;
    moved.seek = saturatingAdd(segment.seek, clampedSamples(seekTime));
    moved.start = segment.start + seekTime;
    moved.end = segment.end + seekTime;
    if (moved.words) {
        for (auto& word : *moved.words) {
            word.start += seekTime;
            word.end += seekTime;
        }
    }
    return moved;
}

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                                bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const auto& segment : segments) {
        if (withTimestamps) {
            lines.push_back("[" + foundation::format("%.2f", static_cast<double>(segment.start)) + " --> " +
                            foundation::format("%.2f", static_cast<double>(segment.end)) + "] " + segment.text);
        } else {
            lines.push_back(segment.text);
        }
    }
    return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                                        const std::vector<WordTiming>& second) {
    std::vector<WordTiming> prefix;
    for (size_t i = 0; i < first.size() && i < second.size(); ++i) {
        if (!foundation::text::canonicallyEqual(normalized(first[i].word), normalized(second[i].word))) break;
        prefix.push_back(second[i]);
    }
    return prefix;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                                           const std::vector<WordTiming>& second) {
    const size_t common = findLongestCommonPrefix(first, second).size();
    return std::vector<WordTiming>(second.begin() + static_cast<std::ptrdiff_t>(common), second.end());
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results, const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const auto& word : *confirmedWords) text += word.word;
    } else {
        for (size_t i = 0; i < results.size(); ++i) {
            if (i > 0) text += " ";
            if (results[i]) text += results[i]->text();
        }
    }

    std::vector<TranscriptionSegment> segments;
    std::vector<TranscriptionTimings> timings;
    std::optional<std::string> language;
    for (const auto& result : results) {
        if (!result) continue;
        if (!language) language = result->language();
        for (auto segment : result->segments()) {
            segment.id = static_cast<int64_t>(segments.size());
            segments.push_back(std::move(segment));
        }
        timings.push_back(result->timings());
    }

    TranscriptionTimings merged(TranscriptionTimings::Params{});
    merged.pipelineStart = 0;
    merged.firstTokenTime = 0;
    merged.inputAudioSeconds = 0;
    if (!timings.empty()) {
        auto smallest = [&](double TranscriptionTimings::*field) {
            double value = timings.front().*field;
            for (const auto& t : timings) value = std::min(value, t.*field);
            return value;
        };
        auto largest = [&](double TranscriptionTimings::*field) {
            double value = timings.front().*field;
            for (const auto& t : timings) value = std::max(value, t.*field);
            return value;
        };
        auto sum = [&](double TranscriptionTimings::*field) {
            double value = 0;
            for (const auto& t : timings) value += t.*field;
            return value;
        };
        using T = TranscriptionTimings;
        merged.pipelineStart = smallest(&T::pipelineStart);
        merged.firstTokenTime = smallest(&T::firstTokenTime);
        for (auto field : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime, &T::tokenizerLoadTime}) {
            merged.*field = largest(field);
        }
        for (auto field : {&T::inputAudioSeconds, &T::audioLoading, &T::audioProcessing, &T::logmels, &T::encoding, &T::prefill,
                           &T::decodingInit, &T::decodingLoop, &T::decodingPredictions, &T::decodingFiltering,
                           &T::decodingSampling, &T::decodingFallback, &T::decodingWindowing, &T::decodingKvCaching,
                           &T::decodingWordTimestamps, &T::decodingNonPrediction, &T::totalAudioProcessingRuns,
                           &T::totalLogmelRuns, &T::totalEncodingRuns, &T::totalDecodingLoops, &T::totalKVUpdateRuns,
                           &T::totalTimestampAlignmentRuns, &T::totalDecodingFallbacks, &T::totalDecodingWindows}) {
            merged.*field = sum(field);
        }
        double latestEnd = timings.front().pipelineStart + timings.front().fullPipeline;
        for (const auto& t : timings) latestEnd = std::max(latestEnd, t.pipelineStart + t.fullPipeline);
        merged.fullPipeline = std::min(sum(&T::fullPipeline), latestEnd - merged.pipelineStart);
    }
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                                 language.value_or(std::string(Constants::defaultLanguageCode)), merged);
}

TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
    return TranscriptionUtilities::updateSegmentTimings(segment, seekTime);
}
std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps) {
    return TranscriptionUtilities::formatSegments(segments, withTimestamps);
}
std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    return TranscriptionUtilities::findLongestCommonPrefix(first, second);
}
std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    return TranscriptionUtilities::findLongestDifferentSuffix(first, second);
}
std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(const std::vector<std::shared_ptr<TranscriptionResult>>& results,
                                                               const std::optional<std::vector<WordTiming>>& confirmedWords) {
    return TranscriptionUtilities::mergeTranscriptionResults(results, confirmedWords);
}

}  // namespace lexiphonic
