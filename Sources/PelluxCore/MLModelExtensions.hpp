#pragma once
// Prediction as the engine calls it, and printable names of compute units.
#include <memory>
#include <string>

#include "Platform/CoreML/MLFeatureProvider.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/MLModelConfiguration.hpp"

namespace pellux {

// Runs the model's prediction on the calling thread (the caller picks the thread); the runtime's errors
// pass through unchanged.
std::shared_ptr<coreml::MLFeatureProvider> asyncPrediction(const coreml::MLModel& model,
                                                           const coreml::MLFeatureProvider& from,
                                                           const coreml::MLPredictionOptions& options = {});
// The same with the state of a stateful model, which must be one the model made (makeState).
std::shared_ptr<coreml::MLFeatureProvider> asyncPrediction(const coreml::MLModel& model,
                                                           const coreml::MLFeatureProvider& from, coreml::MLState& using_,
                                                           const coreml::MLPredictionOptions& options = {});

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string description(coreml::MLComputeUnits computeUnits);
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string displayName(coreml::MLComputeUnits computeUnits);

}  // namespace pellux
