#pragma once
// The named inputs and outputs that pass between the engine and its four models. Feature names are
// exact and case-sensitive. Inputs hold one multi-array per feature; outputs wrap the provider a
// prediction returned. A required output that is missing (or not a multi-array) makes its accessor
// throw WhisperError::transcriptionFailed naming the feature.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLFeatureProvider.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreML/MLShapedArray.hpp"

namespace lexiphonic {

using MLMultiArrayPtr = std::shared_ptr<coreml::MLMultiArray>;
using FeatureProviderPtr = std::shared_ptr<const coreml::MLFeatureProvider>;

// ---- Log-mel spectrogram model ("MelSpectrogram")

class MelSpectrogramInput : public coreml::MLFeatureProvider {
public:
    MLMultiArrayPtr audio;

    explicit MelSpectrogramInput(MLMultiArrayPtr audio);
    explicit MelSpectrogramInput(const coreml::MLShapedArray<float>& audio);
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class MelSpectrogramOutput : public coreml::MLFeatureProvider {
public:
    const FeatureProviderPtr provider;

    explicit MelSpectrogramOutput(FeatureProviderPtr features);
    explicit MelSpectrogramOutput(MLMultiArrayPtr melspectrogram_features);
    // "melspectrogram_features"
    MLMultiArrayPtr melspectrogramFeatures() const;
    coreml::MLShapedArray<coreml::Float16> melspectrogram_featuresShapedArray() const;
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

// ---- Audio encoder ("AudioEncoder")

class AudioEncoderInput : public coreml::MLFeatureProvider {
public:
    MLMultiArrayPtr melspectrogram_features;

    explicit AudioEncoderInput(MLMultiArrayPtr melspectrogram_features);
    explicit AudioEncoderInput(const coreml::MLShapedArray<float>& melspectrogram_features);
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class AudioEncoderOutput : public coreml::MLFeatureProvider {
public:
    const FeatureProviderPtr provider;

    explicit AudioEncoderOutput(FeatureProviderPtr features);
    explicit AudioEncoderOutput(MLMultiArrayPtr encoder_output_embeds);
    MLMultiArrayPtr encoder_output_embeds() const;
    coreml::MLShapedArray<coreml::Float16> encoder_output_embedsShapedArray() const;
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

// ---- Text decoder ("TextDecoder")

class TextDecoderInput : public coreml::MLFeatureProvider {
public:
    MLMultiArrayPtr input_ids;
    MLMultiArrayPtr cache_length;
    MLMultiArrayPtr key_cache;
    MLMultiArrayPtr value_cache;
    MLMultiArrayPtr kv_cache_update_mask;
    MLMultiArrayPtr encoder_output_embeds;
    MLMultiArrayPtr decoder_key_padding_mask;

    TextDecoderInput(MLMultiArrayPtr input_ids, MLMultiArrayPtr cache_length, MLMultiArrayPtr key_cache,
                     MLMultiArrayPtr value_cache, MLMultiArrayPtr kv_cache_update_mask,
                     MLMultiArrayPtr encoder_output_embeds, MLMultiArrayPtr decoder_key_padding_mask);
    TextDecoderInput(const coreml::MLShapedArray<int32_t>& input_ids, const coreml::MLShapedArray<int32_t>& cache_length,
                     const coreml::MLShapedArray<float>& key_cache, const coreml::MLShapedArray<float>& value_cache,
                     const coreml::MLShapedArray<float>& kv_cache_update_mask,
                     const coreml::MLShapedArray<float>& encoder_output_embeds,
                     const coreml::MLShapedArray<float>& decoder_key_padding_mask);
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class TextDecoderOutput : public coreml::MLFeatureProvider {
public:
    const FeatureProviderPtr provider;

    explicit TextDecoderOutput(FeatureProviderPtr features);
    // Keeps the first three; the arg-max of the logits is accepted and dropped.
    TextDecoderOutput(MLMultiArrayPtr logits, MLMultiArrayPtr key_cache_updates, MLMultiArrayPtr value_cache_updates,
                      MLMultiArrayPtr logitsArgmax);
    MLMultiArrayPtr logits() const;
    coreml::MLShapedArray<coreml::Float16> logitsShapedArray() const;
    MLMultiArrayPtr key_cache_updates() const;
    coreml::MLShapedArray<coreml::Float16> key_cache_updatesShapedArray() const;
    MLMultiArrayPtr value_cache_updates() const;
    coreml::MLShapedArray<coreml::Float16> value_cache_updatesShapedArray() const;
    // Optional: null (nothing) when the provider has no such multi-array.
    MLMultiArrayPtr alignment_heads_weights() const;
    std::optional<coreml::MLShapedArray<coreml::Float16>> alignment_heads_weightsShapedArray() const;
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

// ---- Decoder-cache prefill ("TextDecoderContextPrefill")

class TextDecoderCachePrefillInput : public coreml::MLFeatureProvider {
public:
    MLMultiArrayPtr task;
    MLMultiArrayPtr language;

    TextDecoderCachePrefillInput(MLMultiArrayPtr task, MLMultiArrayPtr language);
    TextDecoderCachePrefillInput(const coreml::MLShapedArray<int32_t>& task, const coreml::MLShapedArray<int32_t>& language);
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class TextDecoderCachePrefillOutput : public coreml::MLFeatureProvider {
public:
    const FeatureProviderPtr provider;

    explicit TextDecoderCachePrefillOutput(FeatureProviderPtr features);
    TextDecoderCachePrefillOutput(MLMultiArrayPtr key_cache_prefill, MLMultiArrayPtr value_cache_prefill);
    MLMultiArrayPtr key_cache_prefill() const;
    coreml::MLShapedArray<coreml::Float16> key_cache_prefillShapedArray() const;
    MLMultiArrayPtr value_cache_prefill() const;
    coreml::MLShapedArray<coreml::Float16> value_cache_prefillShapedArray() const;
    std::set<std::string> featureNames() const override;
    std::optional<coreml::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

}  // namespace lexiphonic
