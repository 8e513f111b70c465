#pragma once
// Complete tiny Whisper model folders with seeded random weights and a matching tiny tokenizer, for
// tests and for trying the engine without a real checkpoint.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace coreml::whisper {

struct TestModelOptions {
    WhisperModelConfig config = defaultTestConfig();
    uint64_t seed = 1;
    bool writeTokenizer = true;
    // Random weights decode every window to the token cap through every temperature fallback. With
    // this set, the decoder's position table is shaped so that, whatever it hears, it says <|en|>,
    // <|transcribe|>, <|0.00|>, then this many distinct ordinary tokens, then <|endoftext|>, each
    // with near certainty, as a short utterance does. The rest of the weights stay random, so the
    // work per step is that of the unsteered model.
    std::optional<int> steeredTextTokens;

    static WhisperModelConfig defaultTestConfig() {
        WhisperModelConfig c;
        c.melCount = 80;
        c.width = 64;
        c.encoderLayers = 2;
        c.encoderHeads = 4;
        c.decoderLayers = 2;
        c.decoderHeads = 4;
        c.vocabularySize = 51865;
        c.alignmentHeads = {{1, 0}, {1, 2}};
        return c;
    }
};

// The seeded random weights, by checkpoint name (see TensorSource).
TensorSource randomWeights(const WhisperModelConfig& config, uint64_t seed);
// The random weights with the decoder steered to `textTokens` ordinary tokens (see TestModelOptions).
TensorSource steeredWeights(TensorSource weights, const WhisperModelConfig& config, int textTokens);
// The ordinary tokens a steered decoder says, in order.
std::vector<int> steeredTextTokenIds(int textTokens);
// A triangular mel filterbank [n_mels, 201] over 0-8 kHz, evenly spaced on the mel scale.
std::vector<float> melFilterbank(int melCount);
// The encoder's sinusoidal position table [1500, d].
std::vector<float> sinusoidalPositions(int width);

// Writes MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc and (unless turned
// off) tokenizer.json and tokenizer_config.json into `folder`.
void writeTestModel(const std::filesystem::path& folder, const TestModelOptions& options = {});

}  // namespace coreml::whisper
