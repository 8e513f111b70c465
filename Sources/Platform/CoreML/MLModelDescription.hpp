#pragma once
// What a model declares about its inputs and outputs.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/CoreML/MLFeatureValue.hpp"

namespace coreml {

// A fixed shape and element type for a multi-array feature.
struct MLMultiArrayConstraint {
    std::vector<int64_t> shape;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

struct MLFeatureDescription {
    std::string name;
    MLFeatureType type = MLFeatureType::invalid;
    bool isOptional = false;
    // Present for a multi-array feature that declares its shape and type.
    std::optional<MLMultiArrayConstraint> multiArrayConstraint;
};

struct MLModelDescription {
    std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
    std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
    // Inputs and outputs in the order the model file declares them.
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
};

}  // namespace coreml
