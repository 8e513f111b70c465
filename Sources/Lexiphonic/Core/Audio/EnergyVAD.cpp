#include "Lexiphonic/Core/Audio/EnergyVAD.hpp"

#include <cmath>

#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"

namespace lexiphonic {

namespace {

int64_t samplesOf(int64_t sampleRate, float seconds) {
    const float samples = static_cast<float>(sampleRate) * seconds;
    return std::isfinite(samples) ? static_cast<int64_t>(samples) : 0;
}

}  // namespace

EnergyVAD::EnergyVAD(const Params& params)
    : EnergyVAD(params.sampleRate, samplesOf(params.sampleRate, params.frameLength),
                samplesOf(params.sampleRate, params.frameOverlap), params.energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> samples) const {
    if (samples.empty() || frameLengthSamples() < 1) return {};
    const auto frames = static_cast<int64_t>(
        std::ceil(static_cast<double>(samples.size()) / static_cast<double>(frameLengthSamples())));
    return AudioProcessor::calculateVoiceActivityInChunks(samples, frames, frameLengthSamples(), frameOverlapSamples(),
                                                          energyThreshold_);
}

}  // namespace lexiphonic
