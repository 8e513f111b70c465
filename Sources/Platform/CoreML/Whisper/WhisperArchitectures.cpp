#include "Platform/CoreML/Whisper/WhisperArchitectures.hpp"

#include <memory>

#include "Platform/CoreML/Architecture.hpp"
#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/TextDecoderModel.hpp"

namespace coreml::whisper {
namespace {

using DT = MLMultiArrayDataType;

TensorLookup lookupIn(const ModelFile& file) {
    return [&file](const std::string& name) -> TensorView {
        if (!file.hasTensor(name)) throw WhisperModelError("Tensor " + name + " is missing from " + file.describePath(kWeightsName));
        const WeightTensor& t = file.tensor(name);
        TensorView v;
        v.data = t.bytes;
        v.shape = t.shape;
        if (t.dataType == DT::float16)
            v.type = StoredType::float16;
        else if (t.dataType == DT::float32)
            v.type = StoredType::float32;
        else
            throw WhisperModelError("Tensor " + name + " must be float16 or float32");
        return v;
    };
}

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + "]";
}

// The model file's declared feature must be exactly what the computation reads or writes.
void requireFeature(const ModelFile& file, bool input, const std::string& name, DT type,
                    const std::vector<int64_t>& shape) {
    const auto& map = input ? file.description().inputDescriptionsByName : file.description().outputDescriptionsByName;
    auto it = map.find(name);
    if (it == map.end() || !it->second.multiArrayConstraint)
        throw WhisperModelError(std::string(input ? "Input" : "Output") + " \"" + name + "\" is not declared as a multi-array in " +
                                file.describePath(kModelJSONName));
    const auto& c = *it->second.multiArrayConstraint;
    if (c.dataType != type || c.shape != shape)
        throw WhisperModelError("Feature \"" + name + "\" must be " + std::string(dataTypeName(type)) + " " +
                                shapeText(shape) + " in " + file.describePath(kModelJSONName));
}

int positiveParameter(const ModelFile& file, const char* key) {
    int64_t v = file.intParameter(key);
    if (v <= 0 || v > (int64_t(1) << 24))
        throw WhisperModelError(std::string("Hyper-parameter ") + key + " is out of range in " + file.describePath(kModelJSONName));
    return static_cast<int>(v);
}

template <class F>
auto refuseAsParameters(F&& f) {
    try {
        return f();
    } catch (const WhisperModelError& e) {
        throw MLModelError(MLModelError::Case::parameters, e.localizedDescription());
    }
}

const MLMultiArray& input(const ConstFeatureArrays& inputs, const char* name) {
    auto it = inputs.find(name);
    if (it == inputs.end() || !it->second) throw WhisperModelError(std::string("Missing input ") + name);
    return *it->second;
}

const uint16_t* halves(const MLMultiArray& a) { return reinterpret_cast<const uint16_t*>(a.data<Float16>()); }
uint16_t* halves(MLMultiArray& a) { return reinterpret_cast<uint16_t*>(a.data<Float16>()); }

class MelSpectrogramArchitecture : public Architecture {
public:
    explicit MelSpectrogramArchitecture(const ArchitectureContext& c)
        : mels_(refuseAsParameters([&] {
              int m = positiveParameter(c.file, "num_mel_bins");
              requireFeature(c.file, true, "audio", DT::float32, {kWindowSamples});
              requireFeature(c.file, false, "melspectrogram_features", DT::float16, {1, m, 1, kMelFrames});
              return m;
          })),
          model_(refuseAsParameters([&] { return std::make_unique<MelSpectrogramModel>(mels_, lookupIn(c.file)); })) {}

    FeatureArrays predict(const ConstFeatureArrays& inputs) const override {
        const MLMultiArray& audio = input(inputs, "audio");
        auto out = MLMultiArray::make({1, mels_, 1, kMelFrames}, DT::float16);
        model_->compute(audio.data<float>(), halves(*out));
        return {{"melspectrogram_features", out}};
    }

private:
    int mels_;
    std::unique_ptr<MelSpectrogramModel> model_;
};

class AudioEncoderArchitecture : public Architecture {
public:
    explicit AudioEncoderArchitecture(const ArchitectureContext& c)
        : model_(refuseAsParameters([&] {
              EncoderDimensions dims;
              dims.melCount = positiveParameter(c.file, "num_mel_bins");
              dims.width = positiveParameter(c.file, "d_model");
              dims.layers = positiveParameter(c.file, "encoder_layers");
              dims.heads = positiveParameter(c.file, "encoder_attention_heads");
              requireFeature(c.file, true, "melspectrogram_features", DT::float16, {1, dims.melCount, 1, kMelFrames});
              requireFeature(c.file, false, "encoder_output_embeds", DT::float16, {1, dims.width, 1, kEncoderFrames});
              // Compute units that ask for the accelerator accept its reduced precision; cpuOnly
              // keeps single precision.
              const bool reduced = c.configuration.computeUnits == MLComputeUnits::all ||
                                   c.configuration.computeUnits == MLComputeUnits::cpuAndNeuralEngine;
              return std::make_unique<AudioEncoderModel>(dims, lookupIn(c.file),
                                                         reduced ? reducedPrecisionGemmPath() : bestGemmPath());
          })) {}

    FeatureArrays predict(const ConstFeatureArrays& inputs) const override {
        const MLMultiArray& mel = input(inputs, "melspectrogram_features");
        const auto& dims = model_->dimensions();
        auto out = MLMultiArray::make({1, dims.width, 1, kEncoderFrames}, DT::float16);
        model_->encode(halves(mel), halves(*out));
        return {{"encoder_output_embeds", out}};
    }

private:
    std::unique_ptr<AudioEncoderModel> model_;
};

class TextDecoderArchitecture : public Architecture {
public:
    explicit TextDecoderArchitecture(const ArchitectureContext& c)
        : model_(refuseAsParameters([&] { return load(c.file); })) {}

    FeatureArrays predict(const ConstFeatureArrays& inputs) const override {
        const auto& dims = model_->dimensions();
        const int64_t E = static_cast<int64_t>(dims.layers) * dims.width;
        auto it = inputs.find("encoder_output_embeds");
        if (it == inputs.end() || !it->second) throw WhisperModelError("Missing input encoder_output_embeds");
        const MLMultiArray& enc = *it->second;
        // The cross-attention keys and values depend only on the encoder output: computed once per
        // array (by its process-unique identifier) and shared by every step and every thread.
        auto cross = model_->crossAttention(halves(enc), enc.identifier(), it->second);

        DecoderStepInput in;
        in.token = input(inputs, "input_ids").data<int32_t>()[0];
        in.position = input(inputs, "cache_length").data<int32_t>()[0];
        in.keyCache = halves(input(inputs, "key_cache"));
        in.valueCache = halves(input(inputs, "value_cache"));
        in.paddingMask = halves(input(inputs, "decoder_key_padding_mask"));

        FeatureArrays out;
        auto logits = MLMultiArray::make({1, 1, dims.vocabularySize}, DT::float16);
        auto keys = MLMultiArray::make({1, E, 1, 1}, DT::float16);
        auto values = MLMultiArray::make({1, E, 1, 1}, DT::float16);
        DecoderStepOutput o;
        o.logits = halves(*logits);
        o.keyUpdates = halves(*keys);
        o.valueUpdates = halves(*values);
        std::shared_ptr<MLMultiArray> alignment;
        if (withAlignment_) {
            alignment = MLMultiArray::make({1, dims.encoderFrames}, DT::float16);
            o.alignment = halves(*alignment);
        }
        model_->step(in, *cross, o);
        out["logits"] = logits;
        out["key_cache_updates"] = keys;
        out["value_cache_updates"] = values;
        if (alignment) out["alignment_heads_weights"] = alignment;
        return out;
    }

private:
    std::unique_ptr<TextDecoderModel> load(const ModelFile& f) {
        DecoderDimensions dims;
        dims.width = positiveParameter(f, "d_model");
        dims.layers = positiveParameter(f, "decoder_layers");
        dims.heads = positiveParameter(f, "decoder_attention_heads");
        dims.vocabularySize = positiveParameter(f, "vocab_size");
        dims.maxPositions = positiveParameter(f, "max_target_positions");
        dims.encoderFrames = kEncoderFrames;
        auto it = f.description().inputDescriptionsByName.find("key_cache");
        if (it == f.description().inputDescriptionsByName.end() || !it->second.multiArrayConstraint ||
            it->second.multiArrayConstraint->shape.size() != 4)
            throw WhisperModelError("Input \"key_cache\" must be a rank-4 multi-array in " + f.describePath(kModelJSONName));
        const int64_t S = it->second.multiArrayConstraint->shape[3];
        if (S <= 0 || S > dims.maxPositions)
            throw WhisperModelError("The cache length must be between 1 and max_target_positions");
        dims.cacheLength = static_cast<int>(S);
        const int64_t E = static_cast<int64_t>(dims.layers) * dims.width, d = dims.width;
        requireFeature(f, true, "input_ids", DT::int32, {1});
        requireFeature(f, true, "cache_length", DT::int32, {1});
        requireFeature(f, true, "key_cache", DT::float16, {1, E, 1, S});
        requireFeature(f, true, "value_cache", DT::float16, {1, E, 1, S});
        requireFeature(f, true, "kv_cache_update_mask", DT::int32, {1, S});
        requireFeature(f, true, "encoder_output_embeds", DT::float16, {1, d, 1, kEncoderFrames});
        requireFeature(f, true, "decoder_key_padding_mask", DT::float16, {1, S});
        requireFeature(f, false, "logits", DT::float16, {1, 1, dims.vocabularySize});
        requireFeature(f, false, "key_cache_updates", DT::float16, {1, E, 1, 1});
        requireFeature(f, false, "value_cache_updates", DT::float16, {1, E, 1, 1});
        std::vector<std::pair<int, int>> heads;
        foundation::JSONValue list = f.hyperParameters().member("alignment_heads");
        if (list.exists()) {
            if (!list.isArray()) throw WhisperModelError("alignment_heads must be a list of [layer, head] pairs");
            for (const auto& pair : list.items()) {
                if (!pair.isArray() || pair.size() != 2 || !pair[0].isInteger() || !pair[1].isInteger())
                    throw WhisperModelError("alignment_heads must be a list of [layer, head] pairs");
                heads.emplace_back(static_cast<int>(pair[0].asInt64()), static_cast<int>(pair[1].asInt64()));
            }
        }
        withAlignment_ = f.description().outputDescriptionsByName.count("alignment_heads_weights") > 0;
        if (withAlignment_) {
            requireFeature(f, false, "alignment_heads_weights", DT::float16, {1, kEncoderFrames});
            if (heads.empty()) throw WhisperModelError("alignment_heads_weights needs at least one alignment head");
        }
        return std::make_unique<TextDecoderModel>(dims, lookupIn(f), std::move(heads));
    }

    bool withAlignment_ = false;
    std::unique_ptr<TextDecoderModel> model_;
};

ArchitectureRegistrar melRegistrar(kMelSpectrogramArchitecture, [](const ArchitectureContext& c) {
    return std::make_unique<MelSpectrogramArchitecture>(c);
});
ArchitectureRegistrar encoderRegistrar(kAudioEncoderArchitecture, [](const ArchitectureContext& c) {
    return std::make_unique<AudioEncoderArchitecture>(c);
});
ArchitectureRegistrar decoderRegistrar(kTextDecoderArchitecture, [](const ArchitectureContext& c) {
    return std::make_unique<TextDecoderArchitecture>(c);
});

}  // namespace

}  // namespace coreml::whisper
