#include "PelluxCore/MLModelExtensions.hpp"

namespace pellux {

std::shared_ptr<coreml::MLFeatureProvider> asyncPrediction(const coreml::MLModel& model,
                                                           const coreml::MLFeatureProvider& from,
                                                           const coreml::MLPredictionOptions& options) {
    return model.prediction(from, options);
}

std::shared_ptr<coreml::MLFeatureProvider> asyncPrediction(const coreml::MLModel& model,
                                                           const coreml::MLFeatureProvider& from, coreml::MLState& using_,
                                                           const coreml::MLPredictionOptions& options) {
    return model.prediction(from, using_, options);
}

std::string description(coreml::MLComputeUnits computeUnits) {
    switch (computeUnits) {
        case coreml::MLComputeUnits::cpuOnly: return "cpuOnly";
        case coreml::MLComputeUnits::cpuAndGPU: return "cpuAndGPU";
        case coreml::MLComputeUnits::all: return "all";
        case coreml::MLComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::string displayName(coreml::MLComputeUnits computeUnits) {
    switch (computeUnits) {
        case coreml::MLComputeUnits::cpuOnly: return "CPU";
        case coreml::MLComputeUnits::cpuAndGPU: return "GPU";
        case coreml::MLComputeUnits::all: return "All";
        case coreml::MLComputeUnits::cpuAndNeuralEngine: return "Neural Engine";
    }
    return "Unknown";
}

}  // namespace pellux
