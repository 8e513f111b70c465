#pragma once
// Writes a compiled-model folder (see ModelFile.hpp), for tests and tools.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLFeatureValue.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"

namespace coreml {

class ModelFolderWriter {
public:
    explicit ModelFolderWriter(std::string architecture);

    // The "hyper_parameters" object as JSON text; throws MLModelError(parameters) when it is not an object.
    ModelFolderWriter& hyperParameters(std::string json);
    ModelFolderWriter& addInput(std::string name, MLMultiArrayDataType dataType, std::vector<int64_t> shape);
    ModelFolderWriter& addOutput(std::string name, MLMultiArrayDataType dataType, std::vector<int64_t> shape,
                                 bool optional = false);
    // A feature of another type (or a multi-array without a declared shape).
    ModelFolderWriter& addInputFeature(std::string name, MLFeatureType type);
    ModelFolderWriter& addOutputFeature(std::string name, MLFeatureType type, bool optional = false);
    // Tensors; throw MLModelError(parameters) when the value count does not match the shape.
    ModelFolderWriter& addTensor(std::string name, std::span<const float> values, std::vector<int64_t> shape);
    ModelFolderWriter& addTensor(std::string name, std::span<const Float16> values, std::vector<int64_t> shape);
    ModelFolderWriter& addTensor(std::string name, std::span<const int32_t> values, std::vector<int64_t> shape);
    ModelFolderWriter& addTensor(std::string name, std::span<const int8_t> values, std::vector<int64_t> shape);
    // The float values stored as Float16 (rounded to nearest even).
    ModelFolderWriter& addTensorAsFloat16(std::string name, std::span<const float> values, std::vector<int64_t> shape);

    // The model.json text that write() produces.
    std::string modelJSON() const;
    // Creates (or replaces) the folder with model.json and weights.bin. The files are written into a
    // temporary sibling folder that is then swapped in, so a reader sees the old folder or the new one.
    // Creates missing parent folders. Throws foundation::FileError.
    void write(const std::filesystem::path& folder) const;

private:
    struct Feature {
        std::string name;
        MLFeatureType type;
        std::optional<MLMultiArrayDataType> dataType;
        std::optional<std::vector<int64_t>> shape;
        bool optional;
    };
    struct Tensor {
        std::string name;
        MLMultiArrayDataType dataType;
        std::vector<int64_t> shape;
        uint64_t offset;
    };
    ModelFolderWriter& addRawTensor(std::string name, MLMultiArrayDataType dataType, const void* data, size_t count,
                                    std::vector<int64_t> shape);

    std::string architecture_;
    std::string hyperParameters_ = "{}";
    std::vector<Feature> inputs_;
    std::vector<Feature> outputs_;
    std::vector<Tensor> tensors_;
    std::string weights_;
};

}  // namespace coreml
