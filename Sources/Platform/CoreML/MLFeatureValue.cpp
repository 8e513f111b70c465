#include "Platform/CoreML/MLFeatureValue.hpp"

#include "Platform/CoreML/MLFeatureProvider.hpp"

#include <cmath>
#include <cstdint>

namespace coreml {

std::string_view featureTypeName(MLFeatureType type) {
    switch (type) {
        case MLFeatureType::invalid: return "invalid";
        case MLFeatureType::int64: return "int64";
        case MLFeatureType::double_: return "double";
        case MLFeatureType::string: return "string";
        case MLFeatureType::image: return "image";
        case MLFeatureType::multiArray: return "multiArray";
        case MLFeatureType::dictionary: return "dictionary";
        case MLFeatureType::sequence: return "sequence";
        case MLFeatureType::state: return "state";
    }
    return "invalid";
}

std::optional<MLFeatureType> featureTypeNamed(std::string_view name) {
    for (auto t : {MLFeatureType::invalid, MLFeatureType::int64, MLFeatureType::double_, MLFeatureType::string,
                   MLFeatureType::image, MLFeatureType::multiArray, MLFeatureType::dictionary, MLFeatureType::sequence,
                   MLFeatureType::state})
        if (featureTypeName(t) == name) return t;
    return std::nullopt;
}

MLFeatureValue::MLFeatureValue(std::shared_ptr<MLMultiArray> multiArray) {
    if (multiArray) value_ = std::move(multiArray);
}

MLFeatureType MLFeatureValue::type() const {
    switch (value_.index()) {
        case 1: return MLFeatureType::multiArray;
        case 2: return MLFeatureType::int64;
        case 3: return MLFeatureType::double_;
        case 4: return MLFeatureType::string;
        default: return MLFeatureType::invalid;
    }
}

std::shared_ptr<MLMultiArray> MLFeatureValue::multiArrayValue() const {
    if (auto p = std::get_if<std::shared_ptr<MLMultiArray>>(&value_)) return *p;
    return nullptr;
}

int64_t MLFeatureValue::int64Value() const {
    if (auto p = std::get_if<int64_t>(&value_)) return *p;
    if (auto p = std::get_if<double>(&value_)) {
        // Out-of-range and NaN doubles saturate instead of overflowing the conversion.
        if (std::isnan(*p)) return 0;
        if (*p >= 9223372036854775807.0) return INT64_MAX;
        if (*p <= -9223372036854775808.0) return INT64_MIN;
        return static_cast<int64_t>(*p);
    }
    return 0;
}

double MLFeatureValue::doubleValue() const {
    if (auto p = std::get_if<double>(&value_)) return *p;
    if (auto p = std::get_if<int64_t>(&value_)) return static_cast<double>(*p);
    return 0;
}

std::string MLFeatureValue::stringValue() const {
    if (auto p = std::get_if<std::string>(&value_)) return *p;
    return {};
}

MLDictionaryFeatureProvider::MLDictionaryFeatureProvider(const std::map<std::string, std::shared_ptr<MLMultiArray>>& arrays) {
    for (const auto& [name, array] : arrays) dictionary_.emplace(name, MLFeatureValue(array));
}

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& entry : dictionary_) names.insert(entry.first);
    return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(const std::string& featureName) const {
    auto it = dictionary_.find(featureName);
    if (it == dictionary_.end()) return std::nullopt;
    return it->second;
}

}  // namespace coreml
