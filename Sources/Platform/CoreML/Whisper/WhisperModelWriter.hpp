#pragma once
// Writes a Whisper model folder the engine loads: MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc and
// TextDecoder.mlmodelc (weights stored as Float16), used by the test-model generator and the
// checkpoint converter.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace coreml::whisper {

struct WhisperModelConfig {
    int melCount = 80;
    int width = 64;  // d_model
    int encoderLayers = 2;
    int encoderHeads = 4;
    int decoderLayers = 2;
    int decoderHeads = 4;
    int vocabularySize = 51865;
    int maxTargetPositions = 448;
    int cacheLength = 224;
    // (layer, head) pairs of the decoder's cross-attention that follow the audio; none means the
    // decoder has no "alignment_heads_weights" output.
    std::vector<std::pair<int, int>> alignmentHeads;

    // Throws WhisperModelError when the numbers cannot describe a model.
    void validate() const;
};

// Gives a tensor's values by its checkpoint name without the "model." prefix (for example
// "encoder.conv1.weight", "decoder.layers.0.fc1.bias"); the expected shape is passed for checking.
using TensorSource = std::function<std::vector<float>(const std::string& name, const std::vector<int64_t>& shape)>;

// Writes the three model folders into `folder` (created when missing). melFilters: [n_mels, 201].
void writeWhisperModels(const std::filesystem::path& folder, const WhisperModelConfig& config,
                        const TensorSource& source, const std::vector<float>& melFilters);

// Every tensor the checkpoint layout holds for this configuration, with its shape, in writing order.
std::vector<std::pair<std::string, std::vector<int64_t>>> whisperTensorShapes(const WhisperModelConfig& config);

// The special tokens of a Whisper vocabulary of this size, in id order from <|endoftext|> on.
// English-only (51864), multilingual (51865) and large-v3 (51866) layouts.
struct WhisperSpecialTokens {
    int endOfText = 0;
    std::vector<std::pair<int, std::string>> tokens;  // (id, content), ids ascending
};
WhisperSpecialTokens whisperSpecialTokens(int vocabularySize);

// A small byte-level BPE tokenizer ("tokenizer.json", "tokenizer_config.json") whose special tokens
// sit at Whisper's ids for the vocabulary size. Ordinary ids are the 256 byte symbols, a few merges
// and numbered filler words up to the first special token.
void writeTinyTokenizer(const std::filesystem::path& folder, int vocabularySize);

}  // namespace coreml::whisper
