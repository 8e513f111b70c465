#include "Lexiphonic/Core/WhisperMLModel.hpp"

namespace lexiphonic {

void WhisperMLModel::loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits, bool prewarmMode) {
    coreml::MLModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    auto loaded = coreml::MLModel::load(at, configuration);
    if (prewarmMode) {
        setModel(nullptr);
    } else {
        setModel(std::move(loaded));
    }
}

void WhisperMLModel::unloadModel() { setModel(nullptr); }

pellux::ModelState WhisperMLModel::modelState() const {
    return model() ? pellux::ModelState::loaded : pellux::ModelState::unloaded;
}

}  // namespace lexiphonic
