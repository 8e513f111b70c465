#pragma once
// The mel stage: one window of 16 kHz samples to a log-mel spectrogram through the "MelSpectrogram"
// model.
#include <memory>
#include <mutex>

#include "Lexiphonic/Core/FeatureExtracting.hpp"
#include "Lexiphonic/Core/WhisperMLModel.hpp"

namespace lexiphonic {

class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    std::shared_ptr<coreml::MLModel> model() const override;
    void setModel(std::shared_ptr<coreml::MLModel> model) override;

    // Output "melspectrogram_features" dimension 1.
    std::optional<int64_t> melCount() const override;
    // Input "audio" dimension 0.
    std::optional<int64_t> windowSamples() const override;
    // Throws WhisperError.audioProcessingFailed for a null input, modelsUnavailable without a model,
    // foundation::CancellationError on a stop request, and the prediction's own error.
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(std::shared_ptr<coreml::MLMultiArray> audio,
                                                                  std::stop_token stopToken = {}) override;

private:
    mutable std::mutex lock_;  // guards the model pointer, which loading replaces while predictions run
    std::shared_ptr<coreml::MLModel> model_;
};

}  // namespace lexiphonic
