#pragma once
// The compiled-model folder format, <Name>.mlmodelc/:
//   model.json   {"format_version": 1, "architecture": "<registered name>", "hyper_parameters": {...},
//                 "inputs":  [{"name", "type" (default "multiArray"), "data_type", "shape", "optional"}],
//                 "outputs": [... the same ...],
//                 "tensors": [{"name", "data_type", "shape", "offset"}]}
//   weights.bin  the tensors' bytes, little-endian, each starting at a multiple of 64 bytes.
// A multi-array feature with "shape" must give "data_type" too; without "shape" it declares no constraint.
// Tensors are memory-mapped read-only and stay valid while the ModelFile lives. Only a weights.bin that
// no other user can write is mapped; one that others may write (another owner, group- or world-
// writable) is read into private memory, so that truncating it in place cannot kill the process
// with SIGBUS. A process of the same user can already change our memory, so its truncation of a
// mapped file is not guarded against. model.json and weights.bin must be regular files.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/CoreML/MLModelDescription.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace coreml {

inline constexpr int64_t kModelFormatVersion = 1;
inline constexpr size_t kWeightAlignment = 64;
inline constexpr const char* kModelJSONName = "model.json";
inline constexpr const char* kWeightsName = "weights.bin";

// One weight tensor inside the mapped weights.
struct WeightTensor {
    std::string name;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
    std::vector<int64_t> shape;
    uint64_t offset = 0;
    int64_t count = 0;
    const std::byte* bytes = nullptr;

    size_t byteCount() const { return static_cast<size_t>(count) * elementSize(dataType); }
    // The elements as T; throws MLModelError(parameters) when T is not the tensor's type.
    template <class T>
    std::span<const T> values() const {
        checkType(MLMultiArrayScalar<T>::dataType);
        return {reinterpret_cast<const T*>(bytes), static_cast<size_t>(count)};
    }

private:
    void checkType(MLMultiArrayDataType expected) const;
};

class ModelFile {
public:
    // Reads and checks model.json and maps weights.bin. Throws MLModelError naming the file and the
    // problem: io for a missing or unreadable file, parameters for bad JSON, a wrong format version,
    // malformed features, tensors outside weights.bin or not aligned, duplicate names.
    static std::shared_ptr<const ModelFile> open(const std::filesystem::path& folder);

    ModelFile(const ModelFile&) = delete;
    ModelFile& operator=(const ModelFile&) = delete;
    ~ModelFile();

    const std::filesystem::path& folder() const { return folder_; }
    int64_t formatVersion() const { return formatVersion_; }
    const std::string& architecture() const { return architecture_; }
    const MLModelDescription& description() const { return description_; }

    // The "hyper_parameters" object (exists() is false when the file has none); valid while this lives.
    foundation::JSONValue hyperParameters() const;
    // Typed hyper-parameters; throw MLModelError(parameters) naming model.json and the key when
    // missing or of another type. The ...Or forms give the fallback when the key is absent.
    int64_t intParameter(std::string_view key) const;
    double doubleParameter(std::string_view key) const;
    std::string stringParameter(std::string_view key) const;
    bool boolParameter(std::string_view key) const;
    int64_t intParameterOr(std::string_view key, int64_t fallback) const;
    double doubleParameterOr(std::string_view key, double fallback) const;
    bool boolParameterOr(std::string_view key, bool fallback) const;
    std::vector<int64_t> intListParameter(std::string_view key) const;

    bool hasTensor(std::string_view name) const;
    const std::map<std::string, WeightTensor, std::less<>>& tensors() const { return tensors_; }
    // Throws MLModelError(parameters) naming weights.bin and the tensor when it is missing.
    const WeightTensor& tensor(std::string_view name) const;
    // The same, also checking the element type and the exact shape.
    const WeightTensor& tensor(std::string_view name, MLMultiArrayDataType dataType,
                               const std::vector<int64_t>& shape) const;

    // The path of a file of the folder, for messages.
    std::string describePath(const char* fileName) const;

private:
    ModelFile() = default;
    std::filesystem::path folder_;
    int64_t formatVersion_ = 0;
    std::string architecture_;
    MLModelDescription description_;
    foundation::JSONDocument document_;
    std::map<std::string, WeightTensor, std::less<>> tensors_;
    void* mapping_ = nullptr;
    size_t mappingSize_ = 0;
};

}  // namespace coreml
