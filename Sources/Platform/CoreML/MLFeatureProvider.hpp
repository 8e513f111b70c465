#pragma once
// A set of named feature values: what a model takes and returns.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/CoreML/MLFeatureValue.hpp"

namespace coreml {

class MLFeatureProvider {
public:
    virtual ~MLFeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    // The value of a feature, or nothing for an unknown name (names are case-sensitive).
    virtual std::optional<MLFeatureValue> featureValue(const std::string& featureName) const = 0;
};

class MLDictionaryFeatureProvider : public MLFeatureProvider {
public:
    MLDictionaryFeatureProvider() = default;
    explicit MLDictionaryFeatureProvider(std::map<std::string, MLFeatureValue> dictionary)
        : dictionary_(std::move(dictionary)) {}
    explicit MLDictionaryFeatureProvider(const std::map<std::string, std::shared_ptr<MLMultiArray>>& arrays);

    std::set<std::string> featureNames() const override;
    std::optional<MLFeatureValue> featureValue(const std::string& featureName) const override;
    const std::map<std::string, MLFeatureValue>& dictionary() const { return dictionary_; }

private:
    std::map<std::string, MLFeatureValue> dictionary_;
};

}  // namespace coreml
