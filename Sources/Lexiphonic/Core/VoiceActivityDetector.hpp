#pragma once
// The overridable base of voice-activity detectors: frame geometry, the per-frame verdict, and what
// follows from it (active sample ranges, the longest pause).
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Foundation/Error.hpp"

namespace lexiphonic {

// A stretch of samples (or of frames), end exclusive.
struct SampleRange {
    int64_t startIndex = 0;
    int64_t endIndex = 0;
    bool operator==(const SampleRange&) const = default;
};

struct SeekClipRange {
    int64_t start = 0;
    int64_t end = 0;
    bool operator==(const SeekClipRange&) const = default;
};

struct SeekTimestamp {
    float startTime = 0;
    float endTime = 0;
    bool operator==(const SeekTimestamp&) const = default;
};

class VoiceActivityDetector {
public:
    VoiceActivityDetector(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples)
        : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {}
    virtual ~VoiceActivityDetector() = default;

    int64_t sampleRate() const { return sampleRate_; }
    int64_t frameLengthSamples() const { return frameLengthSamples_; }
    int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

    // One verdict per frame. Detectors override it; the base reports the missing override as an error.
    virtual std::vector<bool> voiceActivity(std::span<const float> /*samples*/) const {
        throw foundation::RuntimeError("`voiceActivity` must be implemented by subclass");
    }
    // voiceActivity, for callers that run it as a job of their own.
    virtual std::vector<bool> voiceActivityAsync(std::span<const float> samples) const { return voiceActivity(samples); }
    // The sample ranges of the runs of voiced frames, each frame counted without its overlap.
    virtual std::vector<SampleRange> calculateActiveChunks(std::span<const float> samples) const;
    virtual int64_t voiceActivityIndexToAudioSampleIndex(int64_t index) const { return index * frameLengthSamples_; }
    virtual float voiceActivityIndexToSeconds(int64_t index) const {
        return static_cast<float>(index * frameLengthSamples_) / static_cast<float>(sampleRate_);
    }
    // The longest run of unvoiced frames (the earliest of equally long ones), end exclusive; nothing
    // when every frame is voiced.
    virtual std::optional<SampleRange> findLongestSilence(const std::vector<bool>& vadResult) const;
    // Open to detectors; the base has none to offer.
    virtual std::vector<float> voiceActivityClipTimestamps(std::span<const float>) const { return {}; }
    virtual std::vector<SeekClipRange> calculateNonSilentSeekClips(std::span<const float>) const { return {}; }
    virtual std::vector<SeekTimestamp> calculateSeekTimestamps(std::span<const float>) const { return {}; }

private:
    int64_t sampleRate_;
    int64_t frameLengthSamples_;
    int64_t frameOverlapSamples_;
};

}  // namespace lexiphonic
