#include "Platform/CoreML/Whisper/WhisperCheckpointConverter.hpp"

#include <cmath>
#include <limits>

#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/Safetensors.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace coreml::whisper {

namespace {

foundation::JSONDocument readJSON(const std::filesystem::path& path) {
    auto text = foundation::readFileIfPresent(path);
    if (!text) throw WhisperModelError("Cannot read " + path.string());
    foundation::JSONDocument document;
    try {
        document = foundation::JSONDocument::parse(*text);
    } catch (const foundation::JSONError& e) {
        throw WhisperModelError(path.string() + " is not valid JSON: " + e.localizedDescription());
    }
    // Members are looked up in it: anything but an object is this file's error, not the JSON reader's.
    if (!document.root().isObject()) throw WhisperModelError(path.string() + ": the top level must be an object");
    return document;
}

int intMember(const foundation::JSONValue& object, const char* key, const std::filesystem::path& file) {
    auto v = object.member(key);
    if (!v.isInteger() || v.asInt64() <= 0 || v.asInt64() > (int64_t(1) << 24))
        throw WhisperModelError(file.string() + ": \"" + key + "\" must be a positive integer");
    return static_cast<int>(v.asInt64());
}

}  // namespace

WhisperModelConfig readCheckpointConfig(const std::filesystem::path& checkpoint) {
    const auto configPath = checkpoint / "config.json";
    auto doc = readJSON(configPath);
    auto root = doc.root();
    WhisperModelConfig c;
    c.width = intMember(root, "d_model", configPath);
    c.encoderLayers = intMember(root, "encoder_layers", configPath);
    c.encoderHeads = intMember(root, "encoder_attention_heads", configPath);
    c.decoderLayers = intMember(root, "decoder_layers", configPath);
    c.decoderHeads = intMember(root, "decoder_attention_heads", configPath);
    c.melCount = intMember(root, "num_mel_bins", configPath);
    c.vocabularySize = intMember(root, "vocab_size", configPath);
    c.maxTargetPositions = intMember(root, "max_target_positions", configPath);
    if (intMember(root, "max_source_positions", configPath) != kEncoderFrames)
        throw WhisperModelError(configPath.string() + ": \"max_source_positions\" must be 1500 for 30-s windows");
    c.cacheLength = std::min(224, c.maxTargetPositions);

    const auto generationPath = checkpoint / "generation_config.json";
    if (std::filesystem::exists(generationPath)) {
        auto gen = readJSON(generationPath);
        auto heads = gen.root().member("alignment_heads");
        if (heads.exists() && !heads.isNull()) {
            if (!heads.isArray()) throw WhisperModelError(generationPath.string() + ": \"alignment_heads\" must be a list");
            for (const auto& pair : heads.items()) {
                // Range-checked before narrowing: [4294967296, 1] must not become layer 0.
                auto index = [](const foundation::JSONValue& v) {
                    return v.isInteger() && v.asDouble() >= 0 && v.asDouble() <= std::numeric_limits<int>::max();
                };
                if (!pair.isArray() || pair.size() != 2 || !index(pair[0]) || !index(pair[1]))
                    throw WhisperModelError(generationPath.string() +
                                            ": \"alignment_heads\" must hold [layer, head] pairs of non-negative integers");
                c.alignmentHeads.emplace_back(static_cast<int>(pair[0].asInt64()), static_cast<int>(pair[1].asInt64()));
            }
        }
    }
    c.validate();
    return c;
}

WhisperModelConfig convertWhisperCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& output) {
    WhisperModelConfig config = readCheckpointConfig(checkpoint);

    // mel_filters is stored frequency-major, [201][n_mels].
    const auto preprocessorPath = checkpoint / "preprocessor_config.json";
    auto pre = readJSON(preprocessorPath);
    auto rows = pre.root().member("mel_filters");
    if (!rows.isArray() || rows.size() != static_cast<size_t>(kFrequencyBins))
        throw WhisperModelError(preprocessorPath.string() + ": \"mel_filters\" must be 201 rows of num_mel_bins values");
    std::vector<float> filters(static_cast<size_t>(config.melCount) * kFrequencyBins);
    for (int k = 0; k < kFrequencyBins; ++k) {
        auto row = rows[static_cast<size_t>(k)];
        if (!row.isArray() || row.size() != static_cast<size_t>(config.melCount))
            throw WhisperModelError(preprocessorPath.string() + ": \"mel_filters\" must be 201 rows of num_mel_bins values");
        for (int m = 0; m < config.melCount; ++m) {
            auto v = row[static_cast<size_t>(m)];
            if (!v.isNumber()) throw WhisperModelError(preprocessorPath.string() + ": \"mel_filters\" holds a non-number");
            const double value = v.asDouble();
            if (!(std::fabs(value) <= std::numeric_limits<float>::max()))
                throw WhisperModelError(preprocessorPath.string() + ": \"mel_filters\" holds a value beyond the float range");
            filters[static_cast<size_t>(m) * kFrequencyBins + k] = static_cast<float>(value);
        }
    }

    const auto tokenizerPath = checkpoint / "tokenizer.json";
    if (!std::filesystem::exists(tokenizerPath)) throw WhisperModelError("Cannot find " + tokenizerPath.string());

    SafetensorsFile weights(checkpoint / "model.safetensors");
    writeWhisperModels(output, config,
                       [&](const std::string& name, const std::vector<int64_t>& shape) {
                           return weights.floats("model." + name, shape);
                       },
                       filters);

    for (const char* name : {"tokenizer.json", "tokenizer_config.json", "vocab.json", "merges.txt", "added_tokens.json",
                             "special_tokens_map.json", "normalizer.json"}) {
        auto contents = foundation::readFileIfPresent(checkpoint / name);
        if (contents) foundation::writeFileAtomically(output / name, *contents);
    }
    return config;
}

}  // namespace coreml::whisper
