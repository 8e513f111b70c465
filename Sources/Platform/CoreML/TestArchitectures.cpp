// Small architectures for tests and tools; each is a few lines so that model folders made by tests
// exercise the whole loading and prediction path.
#include <cstring>
#include <stdexcept>

#include "Platform/CoreML/Architecture.hpp"

namespace coreml {
namespace {

std::shared_ptr<MLMultiArray> copyOf(const MLMultiArray& array) { return array.copy(); }

// "identity": each declared output is a copy of the declared input at the same position.
class Identity final : public Architecture {
public:
    explicit Identity(const ArchitectureContext& context) {
        const auto& d = context.file.description();
        if (d.outputNames.size() > d.inputNames.size())
            throw MLModelError(MLModelError::Case::parameters,
                               context.file.describePath(kModelJSONName) + ": identity needs an input per output");
        for (size_t i = 0; i < d.outputNames.size(); ++i) pairs_.emplace_back(d.outputNames[i], d.inputNames[i]);
    }
    FeatureArrays predict(const ConstFeatureArrays& inputs) const override {
        FeatureArrays outputs;
        for (const auto& [output, input] : pairs_) {
            auto it = inputs.find(input);
            if (it != inputs.end()) outputs[output] = copyOf(*it->second);
        }
        return outputs;
    }

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

// "constant": each declared output holds the weight tensor of the same name, which must have the
// output's declared type and shape.
class Constant final : public Architecture {
public:
    explicit Constant(const ArchitectureContext& context) {
        const auto& d = context.file.description();
        for (const auto& name : d.outputNames) {
            const auto& feature = d.outputDescriptionsByName.at(name);
            if (!feature.multiArrayConstraint)
                throw MLModelError(MLModelError::Case::parameters, context.file.describePath(kModelJSONName) +
                                                                       ": output \"" + name + "\" needs a shape");
            const auto& c = *feature.multiArrayConstraint;
            tensors_.emplace_back(name, &context.file.tensor(name, c.dataType, c.shape));
        }
    }
    FeatureArrays predict(const ConstFeatureArrays&) const override {
        FeatureArrays outputs;
        for (const auto& [name, tensor] : tensors_) {
            auto array = MLMultiArray::make(tensor->shape, tensor->dataType);
            if (tensor->byteCount()) std::memcpy(array->dataPointer(), tensor->bytes, tensor->byteCount());
            outputs[name] = array;
        }
        return outputs;
    }

private:
    std::vector<std::pair<std::string, const WeightTensor*>> tensors_;
};

// "scripted": hyper-parameters {"produce": [names] (default: every declared output), "value": number
// (default 0), "error": text (when present, every prediction fails with it)}. Each produced output has
// its declared shape and type, every element set to value. Naming an undeclared output produces it
// with shape [1] as float32, so tests can see how undeclared outputs are treated.
class Scripted final : public Architecture {
public:
    explicit Scripted(const ArchitectureContext& context) : description_(context.file.description()) {
        auto h = context.file.hyperParameters();
        if (auto produce = h.member("produce"); produce.exists()) {
            if (!produce.isArray())
                throw MLModelError(MLModelError::Case::parameters,
                                   context.file.describePath(kModelJSONName) + ": \"produce\" must be a list");
            for (auto item : produce.items()) produce_.push_back(item.asString());
        } else {
            produce_ = description_.outputNames;
        }
        value_ = context.file.doubleParameterOr("value", 0.0);
        if (auto e = h.member("error"); e.exists()) error_ = e.asString();
    }
    FeatureArrays predict(const ConstFeatureArrays&) const override {
        if (!error_.empty()) throw std::runtime_error(error_);
        FeatureArrays outputs;
        for (const auto& name : produce_) {
            auto it = description_.outputDescriptionsByName.find(name);
            std::shared_ptr<MLMultiArray> array;
            if (it != description_.outputDescriptionsByName.end() && it->second.multiArrayConstraint)
                array = MLMultiArray::make(it->second.multiArrayConstraint->shape, it->second.multiArrayConstraint->dataType);
            else
                array = MLMultiArray::make({1}, MLMultiArrayDataType::float32);
            for (int64_t i = 0; i < array->count(); ++i) array->setValue(i, value_);
            outputs[name] = array;
        }
        return outputs;
    }

private:
    MLModelDescription description_;
    std::vector<std::string> produce_;
    double value_ = 0;
    std::string error_;
};

ArchitectureRegistrar identityRegistrar("identity", [](const ArchitectureContext& c) {
    return std::make_unique<Identity>(c);
});
ArchitectureRegistrar constantRegistrar("constant", [](const ArchitectureContext& c) {
    return std::make_unique<Constant>(c);
});
ArchitectureRegistrar scriptedRegistrar("scripted", [](const ArchitectureContext& c) {
    return std::make_unique<Scripted>(c);
});

}  // namespace
}  // namespace coreml
