#pragma once
// Complete tiny Whisper model folders with seeded random weights and a matching tiny tokenizer, for
// tests and for trying the engine without a real checkpoint.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace coreml::whisper {

struct TestModelOptions {
    WhisperModelConfig config = defaultTestConfig();
    uint64_t seed = 1;
    bool writeTokenizer = true;

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
// A triangular mel filterbank [n_mels, 201] over 0-8 kHz, evenly spaced on the mel scale.
std::vector<float> melFilterbank(int melCount);
// The encoder's sinusoidal position table [1500, d].
std::vector<float> sinusoidalPositions(int width);

// Writes MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc and (unless turned
// off) tokenizer.json and tokenizer_config.json into `folder`.
void writeTestModel(const std::filesystem::path& folder, const TestModelOptions& options = {});

}  // namespace coreml::whisper
