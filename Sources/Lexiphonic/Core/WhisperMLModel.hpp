#pragma once
// How a stage of the engine holds and loads its CoreML model. No model means not loaded.
#include <filesystem>
#include <memory>

#include "PelluxCore/ModelState.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/MLModelConfiguration.hpp"

namespace lexiphonic {

class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    virtual std::shared_ptr<coreml::MLModel> model() const = 0;
    virtual void setModel(std::shared_ptr<coreml::MLModel> model) = 0;

    // Loads the compiled model at `at` with a fresh configuration using `computeUnits`. With
    // `prewarmMode` the model is loaded once so the runtime prepares it, then released: the stage ends
    // up without a model. A failed load throws the runtime's error and leaves the stage as it was.
    virtual void loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits, bool prewarmMode);
    // Drops the model; it is freed when its last holder lets go.
    virtual void unloadModel();

    // loaded while a model is held, else unloaded.
    pellux::ModelState modelState() const;
};

}  // namespace lexiphonic
