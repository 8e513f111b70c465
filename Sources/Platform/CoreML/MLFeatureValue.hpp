#pragma once
// One named input or output of a model: a multi-array, an integer, a double or a string.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace coreml {

enum class MLFeatureType { invalid, int64, double_, string, image, multiArray, dictionary, sequence, state };

// "invalid", "int64", "double", "string", "image", "multiArray", ... (model.json's "type" values).
std::string_view featureTypeName(MLFeatureType type);
std::optional<MLFeatureType> featureTypeNamed(std::string_view name);

// Immutable; a multi-array value shares the array (not a copy).
class MLFeatureValue {
public:
    MLFeatureValue() = default;  // invalid
    explicit MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray);
    explicit MLFeatureValue(int64_t value) : value_(value) {}
    explicit MLFeatureValue(double value) : value_(value) {}
    explicit MLFeatureValue(std::string value) : value_(std::move(value)) {}

    MLFeatureType type() const;
    // Null (or 0 / empty) when the value is of another type.
    std::shared_ptr<MLMultiArray> multiArrayValue() const;
    int64_t int64Value() const;
    double doubleValue() const;
    std::string stringValue() const;

private:
    std::variant<std::monostate, std::shared_ptr<MLMultiArray>, int64_t, double, std::string> value_;
};

}  // namespace coreml
