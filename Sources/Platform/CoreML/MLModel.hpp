#pragma once
// A loaded compiled model: its description, its configuration and thread-safe prediction.
#include <filesystem>
#include <memory>
#include <string>

#include "Platform/CoreML/Architecture.hpp"
#include "Platform/CoreML/MLFeatureProvider.hpp"
#include "Platform/CoreML/MLModelConfiguration.hpp"
#include "Platform/CoreML/MLModelDescription.hpp"
#include "Platform/CoreML/MLState.hpp"
#include "Platform/CoreML/ModelFile.hpp"

namespace coreml {

class MLModel {
public:
    // Loads the compiled-model folder at `url` (<Name>.mlmodelc). Throws MLModelError naming the file
    // and the problem: missing folder or file, bad model.json, unknown architecture, tensors out of
    // bounds, an architecture that refuses the file (missing tensor, shape mismatch).
    static std::shared_ptr<MLModel> load(const std::filesystem::path& url,
                                         const MLModelConfiguration& configuration = {});

    MLModel(const MLModel&) = delete;
    MLModel& operator=(const MLModel&) = delete;
    ~MLModel();

    const MLModelDescription& modelDescription() const { return file_->description(); }
    const MLModelConfiguration& configuration() const { return configuration_; }
    const std::filesystem::path& url() const { return file_->folder(); }
    const std::string& architectureName() const { return file_->architecture(); }

    // Runs the model. Safe to call from several threads at once. Every declared input must be present
    // with its declared shape; Float32 and Float16 inputs are converted to the declared type. Throws
    // MLModelError(featureType) for a missing input, a wrong type or shape, a missing required output;
    // MLModelError(customModel) when the architecture fails.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                  const MLPredictionOptions& options = {}) const;

    // A new, empty state for the stateful prediction below.
    std::unique_ptr<MLState> makeState() const;
    // The prediction with a state made by this model; the state stays as it is, since no architecture
    // keeps any. Throws MLModelError(generic) for a state made by another model, else as above.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input, MLState& using_,
                                                  const MLPredictionOptions& options = {}) const;

private:
    MLModel();
    uint64_t identity_;
    std::shared_ptr<const ModelFile> file_;
    MLModelConfiguration configuration_;
    std::unique_ptr<Architecture> architecture_;
};

}  // namespace coreml
