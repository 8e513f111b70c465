#pragma once
// The log-mel stage's protocol.
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

// What the mel stage hands the encoder.
using FeatureExtractorOutputType = coreml::MLMultiArray;

class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    // Mel bands, and samples per input window; absent while no model is loaded.
    virtual std::optional<int64_t> melCount() const = 0;
    virtual std::optional<int64_t> windowSamples() const = 0;
    // One window of samples to log-mel features; nothing when the stage cannot produce them. A stop
    // request made before the call throws foundation::CancellationError.
    virtual std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(std::shared_ptr<coreml::MLMultiArray> audio,
                                                                          std::stop_token stopToken = {}) = 0;
};

}  // namespace lexiphonic
