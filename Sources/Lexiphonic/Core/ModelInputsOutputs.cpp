#include "Lexiphonic/Core/ModelInputsOutputs.hpp"

#include <map>

#include "Lexiphonic/Utilities/WhisperError.hpp"

namespace lexiphonic {

using coreml::Float16;
using coreml::MLFeatureValue;
using coreml::MLShapedArray;

namespace {

std::optional<MLFeatureValue> valueOf(const MLMultiArrayPtr& array) { return MLFeatureValue(array); }

std::optional<MLFeatureValue> lookup(const std::string& name,
                                     std::initializer_list<std::pair<const char*, const MLMultiArrayPtr*>> fields) {
    for (const auto& [fieldName, field] : fields)
        if (name == fieldName) return valueOf(*field);
    return std::nullopt;
}

MLMultiArrayPtr optionalArray(const coreml::MLFeatureProvider& provider, const std::string& name) {
    auto value = provider.featureValue(name);
    return value ? value->multiArrayValue() : nullptr;
}

MLMultiArrayPtr requiredArray(const coreml::MLFeatureProvider& provider, const std::string& name) {
    auto array = optionalArray(provider, name);
    if (!array) throw WhisperError::transcriptionFailed("Model output \"" + name + "\" is missing or not a multi-array");
    return array;
}

MLShapedArray<Float16> shaped(const MLMultiArrayPtr& array) { return MLShapedArray<Float16>(*array); }

FeatureProviderPtr dictionary(std::map<std::string, MLMultiArrayPtr> arrays) {
    return std::make_shared<coreml::MLDictionaryFeatureProvider>(arrays);
}

}  // namespace

// ---- MelSpectrogramInput

MelSpectrogramInput::MelSpectrogramInput(MLMultiArrayPtr audio) : audio(std::move(audio)) {}
MelSpectrogramInput::MelSpectrogramInput(const MLShapedArray<float>& audio) : audio(coreml::makeMultiArray(audio)) {}
std::set<std::string> MelSpectrogramInput::featureNames() const { return {"audio"}; }
std::optional<MLFeatureValue> MelSpectrogramInput::featureValue(const std::string& featureName) const {
    return lookup(featureName, {{"audio", &audio}});
}

// ---- MelSpectrogramOutput

MelSpectrogramOutput::MelSpectrogramOutput(FeatureProviderPtr features) : provider(std::move(features)) {}
MelSpectrogramOutput::MelSpectrogramOutput(MLMultiArrayPtr melspectrogram_features)
    : provider(dictionary({{"melspectrogram_features", std::move(melspectrogram_features)}})) {}
MLMultiArrayPtr MelSpectrogramOutput::melspectrogramFeatures() const {
    return requiredArray(*provider, "melspectrogram_features");
}
MLShapedArray<Float16> MelSpectrogramOutput::melspectrogram_featuresShapedArray() const {
    return shaped(melspectrogramFeatures());
}
std::set<std::string> MelSpectrogramOutput::featureNames() const { return provider->featureNames(); }
std::optional<MLFeatureValue> MelSpectrogramOutput::featureValue(const std::string& featureName) const {
    return provider->featureValue(featureName);
}

// ---- AudioEncoderInput

AudioEncoderInput::AudioEncoderInput(MLMultiArrayPtr melspectrogram_features)
    : melspectrogram_features(std::move(melspectrogram_features)) {}
AudioEncoderInput::AudioEncoderInput(const MLShapedArray<float>& melspectrogram_features)
    : melspectrogram_features(coreml::makeMultiArray(melspectrogram_features)) {}
std::set<std::string> AudioEncoderInput::featureNames() const { return {"melspectrogram_features"}; }
std::optional<MLFeatureValue> AudioEncoderInput::featureValue(const std::string& featureName) const {
    return lookup(featureName, {{"melspectrogram_features", &melspectrogram_features}});
}

// ---- AudioEncoderOutput

AudioEncoderOutput::AudioEncoderOutput(FeatureProviderPtr features) : provider(std::move(features)) {}
AudioEncoderOutput::AudioEncoderOutput(MLMultiArrayPtr encoder_output_embeds)
    : provider(dictionary({{"encoder_output_embeds", std::move(encoder_output_embeds)}})) {}
MLMultiArrayPtr AudioEncoderOutput::encoder_output_embeds() const { return requiredArray(*provider, "encoder_output_embeds"); }
MLShapedArray<Float16> AudioEncoderOutput::encoder_output_embedsShapedArray() const {
    return shaped(encoder_output_embeds());
}
std::set<std::string> AudioEncoderOutput::featureNames() const { return provider->featureNames(); }
std::optional<MLFeatureValue> AudioEncoderOutput::featureValue(const std::string& featureName) const {
    return provider->featureValue(featureName);
}

// ---- TextDecoderInput

TextDecoderInput::TextDecoderInput(MLMultiArrayPtr input_ids, MLMultiArrayPtr cache_length, MLMultiArrayPtr key_cache,
                                   MLMultiArrayPtr value_cache, MLMultiArrayPtr kv_cache_update_mask,
                                   MLMultiArrayPtr encoder_output_embeds, MLMultiArrayPtr decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const MLShapedArray<int32_t>& input_ids, const MLShapedArray<int32_t>& cache_length,
                                   const MLShapedArray<float>& key_cache, const MLShapedArray<float>& value_cache,
                                   const MLShapedArray<float>& kv_cache_update_mask,
                                   const MLShapedArray<float>& encoder_output_embeds,
                                   const MLShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(coreml::makeMultiArray(input_ids), coreml::makeMultiArray(cache_length),
                       coreml::makeMultiArray(key_cache), coreml::makeMultiArray(value_cache),
                       coreml::makeMultiArray(kv_cache_update_mask), coreml::makeMultiArray(encoder_output_embeds),
                       coreml::makeMultiArray(decoder_key_padding_mask)) {}

std::set<std::string> TextDecoderInput::featureNames() const {
    return {"input_ids",           "cache_length",          "key_cache",
            "value_cache",         "kv_cache_update_mask",  "encoder_output_embeds",
            "decoder_key_padding_mask"};
}

std::optional<MLFeatureValue> TextDecoderInput::featureValue(const std::string& featureName) const {
    return lookup(featureName, {{"input_ids", &input_ids},
                                {"cache_length", &cache_length},
                                {"key_cache", &key_cache},
                                {"value_cache", &value_cache},
                                {"kv_cache_update_mask", &kv_cache_update_mask},
                                {"encoder_output_embeds", &encoder_output_embeds},
                                {"decoder_key_padding_mask", &decoder_key_padding_mask}});
}

// ---- TextDecoderOutput

TextDecoderOutput::TextDecoderOutput(FeatureProviderPtr features) : provider(std::move(features)) {}
TextDecoderOutput::TextDecoderOutput(MLMultiArrayPtr logits, MLMultiArrayPtr key_cache_updates,
                                     MLMultiArrayPtr value_cache_updates, MLMultiArrayPtr /*logitsArgmax*/)
    : provider(dictionary({{"logits", std::move(logits)},
                           {"key_cache_updates", std::move(key_cache_updates)},
                           {"value_cache_updates", std::move(value_cache_updates)}})) {}
MLMultiArrayPtr TextDecoderOutput::logits() const { return requiredArray(*provider, "logits"); }
MLShapedArray<Float16> TextDecoderOutput::logitsShapedArray() const { return shaped(logits()); }
MLMultiArrayPtr TextDecoderOutput::key_cache_updates() const { return requiredArray(*provider, "key_cache_updates"); }
MLShapedArray<Float16> TextDecoderOutput::key_cache_updatesShapedArray() const { return shaped(key_cache_updates()); }
MLMultiArrayPtr TextDecoderOutput::value_cache_updates() const { return requiredArray(*provider, "value_cache_updates"); }
MLShapedArray<Float16> TextDecoderOutput::value_cache_updatesShapedArray() const { return shaped(value_cache_updates()); }
MLMultiArrayPtr TextDecoderOutput::alignment_heads_weights() const {
    return optionalArray(*provider, "alignment_heads_weights");
}
std::optional<MLShapedArray<Float16>> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
    auto array = alignment_heads_weights();
    if (!array) return std::nullopt;
    return shaped(array);
}
std::set<std::string> TextDecoderOutput::featureNames() const { return provider->featureNames(); }
std::optional<MLFeatureValue> TextDecoderOutput::featureValue(const std::string& featureName) const {
    return provider->featureValue(featureName);
}

// ---- TextDecoderCachePrefillInput

TextDecoderCachePrefillInput::TextDecoderCachePrefillInput(MLMultiArrayPtr task, MLMultiArrayPtr language)
    : task(std::move(task)), language(std::move(language)) {}
TextDecoderCachePrefillInput::TextDecoderCachePrefillInput(const MLShapedArray<int32_t>& task,
                                                           const MLShapedArray<int32_t>& language)
    : TextDecoderCachePrefillInput(coreml::makeMultiArray(task), coreml::makeMultiArray(language)) {}
std::set<std::string> TextDecoderCachePrefillInput::featureNames() const { return {"task", "language"}; }
std::optional<MLFeatureValue> TextDecoderCachePrefillInput::featureValue(const std::string& featureName) const {
    return lookup(featureName, {{"task", &task}, {"language", &language}});
}

// ---- TextDecoderCachePrefillOutput

TextDecoderCachePrefillOutput::TextDecoderCachePrefillOutput(FeatureProviderPtr features) : provider(std::move(features)) {}
TextDecoderCachePrefillOutput::TextDecoderCachePrefillOutput(MLMultiArrayPtr key_cache_prefill,
                                                             MLMultiArrayPtr value_cache_prefill)
    : provider(dictionary({{"key_cache_prefill", std::move(key_cache_prefill)},
                           {"value_cache_prefill", std::move(value_cache_prefill)}})) {}
MLMultiArrayPtr TextDecoderCachePrefillOutput::key_cache_prefill() const {
    return requiredArray(*provider, "key_cache_prefill");
}
MLShapedArray<Float16> TextDecoderCachePrefillOutput::key_cache_prefillShapedArray() const {
    return shaped(key_cache_prefill());
}
MLMultiArrayPtr TextDecoderCachePrefillOutput::value_cache_prefill() const {
    return requiredArray(*provider, "value_cache_prefill");
}
MLShapedArray<Float16> TextDecoderCachePrefillOutput::value_cache_prefillShapedArray() const {
    return shaped(value_cache_prefill());
}
std::set<std::string> TextDecoderCachePrefillOutput::featureNames() const { return provider->featureNames(); }
std::optional<MLFeatureValue> TextDecoderCachePrefillOutput::featureValue(const std::string& featureName) const {
    return provider->featureValue(featureName);
}

}  // namespace lexiphonic
