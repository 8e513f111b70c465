#pragma once
// How a model is to be loaded and run. The compute units are kept and reported; the CPU runs everything.
#include <cstdint>

namespace coreml {

enum class MLComputeUnits : int64_t { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

struct MLModelConfiguration {
    MLComputeUnits computeUnits = MLComputeUnits::all;
};

struct MLPredictionOptions {};

}  // namespace coreml
