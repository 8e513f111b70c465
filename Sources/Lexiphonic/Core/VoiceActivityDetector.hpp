#pragma once
// The overridable base of voice-activity detectors: frame geometry and the per-frame verdict.
#include <cstdint>
#include <vector>

#include "Platform/Foundation/Error.hpp"

namespace lexiphonic {

class VoiceActivityDetector {
public:
    VoiceActivityDetector(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples)
        : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {}
    virtual ~VoiceActivityDetector() = default;

    int64_t sampleRate() const { return sampleRate_; }
    int64_t frameLengthSamples() const { return frameLengthSamples_; }
    int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

    // One verdict per frame. Detectors override it; the base reports the missing override as an error.
    virtual std::vector<bool> voiceActivity(const std::vector<float>& /*samples*/) const {
        throw foundation::RuntimeError("`voiceActivity` must be implemented by subclass");
    }

private:
    int64_t sampleRate_;
    int64_t frameLengthSamples_;
    int64_t frameOverlapSamples_;
};

}  // namespace lexiphonic
