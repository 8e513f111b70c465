#pragma once
// A plain reference of the Whisper computations: straight loops, double accumulation, nothing
// clever, so the optimised runtime can be checked against something obviously right.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace reference {

// Weights by checkpoint name ("encoder.conv1.weight", ...), as the model file stores them (F16-rounded).
using Weights = std::map<std::string, std::vector<double>>;
Weights roundedWeights(const coreml::whisper::WhisperModelConfig& config, const coreml::whisper::TensorSource& source);

// [n_mels * 3000], band-major.
std::vector<double> melSpectrogram(const std::vector<float>& audio, const std::vector<float>& filters, int melCount);

// mel: [n_mels * 3000] band-major; returns [d * 1500] channel-major.
std::vector<double> encoder(const coreml::whisper::WhisperModelConfig& config, const Weights& w,
                            const std::vector<double>& mel);

struct StepResult {
    std::vector<double> logits, keys, values, alignment;
};
// keyCache/valueCache: [layers * d, S] values; mask: [S]; encoder: [d * 1500] channel-major.
StepResult decoderStep(const coreml::whisper::WhisperModelConfig& config, const Weights& w, int token, int t,
                       const std::vector<double>& keyCache, const std::vector<double>& valueCache,
                       const std::vector<double>& mask, const std::vector<double>& encoderOutput);

}  // namespace reference
