#pragma once
// The energy detector: a frame is voiced when its RMS is strictly above a fixed threshold.
#include <cstdint>
#include <span>
#include <vector>

#include "Lexiphonic/Core/VoiceActivityDetector.hpp"

namespace lexiphonic {

class EnergyVAD : public VoiceActivityDetector {
public:
    // Frame length and overlap in seconds; the sample counts are rate x seconds in 32-bit float,
    // truncated.
    struct Params {
        int64_t sampleRate = 16000;
        float frameLength = 0.1f;
        float frameOverlap = 0.0f;
        float energyThreshold = 0.02f;
    };

    // The default detector: 16 kHz, 1,600-sample frames, no overlap, threshold 0.02.
    EnergyVAD() : EnergyVAD(16000, 1600, 0, 0.02f) {}
    EnergyVAD(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples, float energyThreshold)
        : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}
    explicit EnergyVAD(const Params& params);

    float energyThreshold() const { return energyThreshold_; }

    // ceil(count / frameLengthSamples) frames; frame i covers samples i*L ..< i*L + L + overlap
    // (cut at the end). A frame length below 1 gives no frames.
    std::vector<bool> voiceActivity(std::span<const float> samples) const override;

private:
    float energyThreshold_;
};

}  // namespace lexiphonic
