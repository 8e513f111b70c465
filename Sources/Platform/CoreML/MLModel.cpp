#include "Platform/CoreML/MLModel.hpp"

#include <atomic>

namespace coreml {

namespace {

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

bool isFloatPair(MLMultiArrayDataType a, MLMultiArrayDataType b) {
    auto isFloat = [](MLMultiArrayDataType t) {
        return t == MLMultiArrayDataType::float16 || t == MLMultiArrayDataType::float32;
    };
    return isFloat(a) && isFloat(b);
}

[[noreturn]] void featureError(const std::string& message) {
    throw MLModelError(MLModelError::Case::featureType, message);
}

// Checks an array against a declared feature; converts between Float32 and Float16 when they differ.
std::shared_ptr<MLMultiArray> conform(const std::shared_ptr<MLMultiArray>& array, const MLFeatureDescription& feature,
                                      const char* role) {
    if (!feature.multiArrayConstraint) return array;
    const auto& constraint = *feature.multiArrayConstraint;
    if (array->shape() != constraint.shape)
        featureError(std::string(role) + " feature \"" + feature.name + "\" has shape " + shapeText(array->shape()) +
                     ", expected " + shapeText(constraint.shape));
    if (array->dataType() == constraint.dataType) return array;
    if (!isFloatPair(array->dataType(), constraint.dataType))
        featureError(std::string(role) + " feature \"" + feature.name + "\" holds " +
                     std::string(dataTypeName(array->dataType())) + ", expected " +
                     std::string(dataTypeName(constraint.dataType)));
    return array->converted(constraint.dataType);
}

}  // namespace

std::shared_ptr<MLModel> MLModel::load(const std::filesystem::path& url, const MLModelConfiguration& configuration) {
    auto file = ModelFile::open(url);
    auto factory = ArchitectureRegistry::shared().find(file->architecture());
    if (!factory)
        throw MLModelError(MLModelError::Case::parameters, file->describePath(kModelJSONName) +
                                                               ": unknown architecture \"" + file->architecture() + "\"");
    std::shared_ptr<MLModel> model(new MLModel());
    model->file_ = file;
    model->configuration_ = configuration;
    try {
        model->architecture_ = factory(ArchitectureContext{*file, configuration});
    } catch (const MLModelError&) {
        throw;
    } catch (const std::exception& e) {
        throw MLModelError(MLModelError::Case::customModel, url.string() + ": architecture \"" + file->architecture() +
                                                                "\" cannot load the model: " + e.what());
    }
    if (!model->architecture_)
        throw MLModelError(MLModelError::Case::customModel,
                           url.string() + ": architecture \"" + file->architecture() + "\" produced nothing");
    return model;
}

MLModel::~MLModel() {
    // The architecture may point into the mapped weights: release it before the file.
    architecture_.reset();
}

// Every loaded model gets its own number, so a state is never taken for one of a model loaded later
// at the same address.
MLModel::MLModel() {
    static std::atomic<uint64_t> loaded{0};
    identity_ = ++loaded;
}

std::unique_ptr<MLState> MLModel::makeState() const { return std::unique_ptr<MLState>(new MLState(identity_)); }

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input, MLState& using_,
                                                       const MLPredictionOptions& options) const {
    if (using_.model_ != identity_)
        throw MLModelError(MLModelError::Case::generic,
                           "The state given to \"" + file_->folder().filename().string() + "\" was made by another model");
    return prediction(input, options);
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions& /*options*/) const {
    const auto& description = file_->description();
    ConstFeatureArrays inputs;
    for (const auto& name : description.inputNames) {
        const auto& feature = description.inputDescriptionsByName.at(name);
        auto value = input.featureValue(name);
        if (!value || value->type() == MLFeatureType::invalid) {
            if (feature.isOptional) continue;
            featureError("Input feature \"" + name + "\" is missing");
        }
        if (value->type() != feature.type)
            featureError("Input feature \"" + name + "\" is of type " + std::string(featureTypeName(value->type())) +
                         ", expected " + std::string(featureTypeName(feature.type)));
        if (feature.type == MLFeatureType::multiArray) inputs.emplace(name, conform(value->multiArrayValue(), feature, "Input"));
    }

    FeatureArrays outputs;
    try {
        outputs = architecture_->predict(inputs);
    } catch (const MLModelError&) {
        throw;
    } catch (const std::exception& e) {
        throw MLModelError(MLModelError::Case::customModel,
                           "Prediction with architecture \"" + file_->architecture() + "\" failed: " + e.what());
    }

    std::map<std::string, MLFeatureValue> results;
    for (const auto& name : description.outputNames) {
        const auto& feature = description.outputDescriptionsByName.at(name);
        auto it = outputs.find(name);
        if (it == outputs.end() || !it->second) {
            if (feature.isOptional) continue;
            featureError("Architecture \"" + file_->architecture() + "\" produced no output \"" + name + "\"");
        }
        if (feature.type != MLFeatureType::multiArray)
            featureError("Output feature \"" + name + "\" is declared as " +
                         std::string(featureTypeName(feature.type)) + " but an array was produced");
        results.emplace(name, MLFeatureValue(conform(it->second, feature, "Output")));
    }
    for (const auto& [name, array] : outputs)
        if (!description.outputDescriptionsByName.count(name))
            throw MLModelError(MLModelError::Case::customModel, "Architecture \"" + file_->architecture() +
                                                                    "\" produced an undeclared output \"" + name + "\"");
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(results));
}

}  // namespace coreml
