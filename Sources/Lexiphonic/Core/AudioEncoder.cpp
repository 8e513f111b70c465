#include "Lexiphonic/Core/AudioEncoder.hpp"

#include "Lexiphonic/Core/ModelInputsOutputs.hpp"
#include "Lexiphonic/Utilities/Logging.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/MLModelExtensions.hpp"
#include "PelluxCore/ModelUtilities.hpp"

namespace lexiphonic {

std::shared_ptr<coreml::MLModel> AudioEncoder::model() const {
    std::lock_guard guard(lock_);
    return model_;
}

void AudioEncoder::setModel(std::shared_ptr<coreml::MLModel> model) {
    std::lock_guard guard(lock_);
    model_ = std::move(model);
}

std::optional<int64_t> AudioEncoder::embedSize() const {
    return pellux::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 1);
}

std::optional<int64_t> AudioEncoder::sequenceLength() const {
    return pellux::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 3);
}

std::shared_ptr<AudioEncoderOutputType> AudioEncoder::encodeFeatures(std::shared_ptr<coreml::MLMultiArray> features,
                                                                     std::stop_token stopToken) {
    if (!features) throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    const auto encoder = model();
    if (!encoder) throw WhisperError::modelsUnavailable("Models are unavailable");
    if (stopToken.stop_requested()) throw foundation::CancellationError();
    const auto& signposter = LogCategories::AudioEncoding::signposter();
    auto interval = beginSignpost("EncodeAudio", signposter);
    std::shared_ptr<coreml::MLFeatureProvider> output;
    try {
        output = pellux::asyncPrediction(*encoder, AudioEncoderInput(std::move(features)), coreml::MLPredictionOptions());
    } catch (...) {
        endSignpost("EncodeAudio", interval, signposter);
        throw;
    }
    endSignpost("EncodeAudio", interval, signposter);
    return AudioEncoderOutput(std::move(output)).encoder_output_embeds();
}

}  // namespace lexiphonic
