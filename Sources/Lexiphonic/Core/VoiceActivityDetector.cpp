#include "Lexiphonic/Core/VoiceActivityDetector.hpp"

#include <algorithm>

namespace lexiphonic {

std::vector<SampleRange> VoiceActivityDetector::calculateActiveChunks(std::span<const float> samples) const {
    const auto voiced = voiceActivity(samples);
    const int64_t count = static_cast<int64_t>(samples.size());
    std::vector<SampleRange> ranges;
    for (size_t i = 0; i < voiced.size(); ++i) {
        if (!voiced[i]) continue;
        const int64_t start = static_cast<int64_t>(i) * frameLengthSamples_;
        const int64_t end = std::min(start + frameLengthSamples_, count);
        if (i > 0 && voiced[i - 1] && !ranges.empty()) {
            ranges.back().endIndex = end;
        } else {
            ranges.push_back({start, end});
        }
    }
    return ranges;
}

std::optional<SampleRange> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& vadResult) const {
    std::optional<SampleRange> longest;
    int64_t longestLength = 0;
    const int64_t count = static_cast<int64_t>(vadResult.size());
    int64_t i = 0;
    while (i < count) {
        if (vadResult[static_cast<size_t>(i)]) {
            ++i;
            continue;
        }
        int64_t end = i;
        while (end < count && !vadResult[static_cast<size_t>(end)]) ++end;
        if (end - i > longestLength) {
            longestLength = end - i;
            longest = SampleRange{i, end};
        }
        i = end;
    }
    return longest;
}

}  // namespace lexiphonic
