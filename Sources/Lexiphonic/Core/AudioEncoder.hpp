#pragma once
// The encoder stage: a log-mel spectrogram to encoder embeddings through the "AudioEncoder" model.
#include <memory>
#include <mutex>

#include "Lexiphonic/Core/AudioEncoding.hpp"
#include "Lexiphonic/Core/WhisperMLModel.hpp"

namespace lexiphonic {

class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    std::shared_ptr<coreml::MLModel> model() const override;
    void setModel(std::shared_ptr<coreml::MLModel> model) override;

    // Output "encoder_output_embeds" dimension 1.
    std::optional<int64_t> embedSize() const override;
    // Output "encoder_output_embeds" dimension 3.
    std::optional<int64_t> sequenceLength() const;
    // Throws WhisperError.audioProcessingFailed for a null input, modelsUnavailable without a model,
    // foundation::CancellationError on a stop request, and the prediction's own error.
    std::shared_ptr<AudioEncoderOutputType> encodeFeatures(std::shared_ptr<coreml::MLMultiArray> features,
                                                           std::stop_token stopToken = {}) override;

private:
    mutable std::mutex lock_;
    std::shared_ptr<coreml::MLModel> model_;
};

}  // namespace lexiphonic
