#include "Lexiphonic/Core/FeatureExtractor.hpp"

#include "Lexiphonic/Core/ModelInputsOutputs.hpp"
#include "Lexiphonic/Utilities/Logging.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/MLModelExtensions.hpp"
#include "PelluxCore/ModelUtilities.hpp"

namespace lexiphonic {

std::shared_ptr<coreml::MLModel> FeatureExtractor::model() const {
    std::lock_guard guard(lock_);
    return model_;
}

void FeatureExtractor::setModel(std::shared_ptr<coreml::MLModel> model) {
    std::lock_guard guard(lock_);
    model_ = std::move(model);
}

std::optional<int64_t> FeatureExtractor::melCount() const {
    return pellux::ModelUtilities::getModelOutputDimension(model(), "melspectrogram_features", 1);
}

std::optional<int64_t> FeatureExtractor::windowSamples() const {
    return pellux::ModelUtilities::getModelInputDimension(model(), "audio", 0);
}

std::shared_ptr<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(std::shared_ptr<coreml::MLMultiArray> audio,
                                                                                std::stop_token stopToken) {
    if (!audio) throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    const auto mel = model();
    if (!mel) throw WhisperError::modelsUnavailable("Models are unavailable");
    if (stopToken.stop_requested()) throw foundation::CancellationError();
    const auto& signposter = LogCategories::FeatureExtractor::signposter();
    auto interval = beginSignpost("ExtractAudioFeatures", signposter);
    std::shared_ptr<coreml::MLFeatureProvider> output;
    try {
        output = pellux::asyncPrediction(*mel, MelSpectrogramInput(std::move(audio)), coreml::MLPredictionOptions());
    } catch (...) {
        endSignpost("ExtractAudioFeatures", interval, signposter);
        throw;
    }
    endSignpost("ExtractAudioFeatures", interval, signposter);
    return MelSpectrogramOutput(std::move(output)).melspectrogramFeatures();
}

}  // namespace lexiphonic
