#pragma once
// The ability to load a compiled model with chosen compute units, optionally only to prepare it.
#include <filesystem>

#include "Platform/CoreML/MLModelConfiguration.hpp"

namespace pellux {

class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;
    virtual void loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits, bool prewarmMode) = 0;
    virtual void unloadModel() = 0;

    // Loads to keep the model (no prewarming).
    void loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits) {
        loadModel(at, computeUnits, false);
    }
};

}  // namespace pellux
