// lexiphonic-convert-whisper: turns a downloaded Whisper checkpoint folder (model.safetensors,
// config.json, preprocessor_config.json, generation_config.json, tokenizer files) into a model
// folder the engine loads.
#include <cstdio>
#include <exception>

#include "Platform/CoreML/Whisper/WhisperCheckpointConverter.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lexiphonic-convert-whisper CHECKPOINT_FOLDER OUTPUT_FOLDER\n");
        return 2;
    }
    try {
        auto c = coreml::whisper::convertWhisperCheckpoint(argv[1], argv[2]);
        std::printf("Converted d_model %d, %d+%d layers, %d mels, vocabulary %d, %zu alignment heads into %s\n",
                    c.width, c.encoderLayers, c.decoderLayers, c.melCount, c.vocabularySize, c.alignmentHeads.size(),
                    argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lexiphonic-convert-whisper: %s\n", e.what());
        return 1;
    }
    return 0;
}
