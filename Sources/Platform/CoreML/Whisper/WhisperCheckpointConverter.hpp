#pragma once
// Converts a Whisper checkpoint folder in the hosting service's layout (model.safetensors,
// config.json, preprocessor_config.json, generation_config.json and the tokenizer files) into a
// model folder the engine loads.
#include <filesystem>

#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace coreml::whisper {

// The model configuration a checkpoint folder describes (config.json, generation_config.json).
WhisperModelConfig readCheckpointConfig(const std::filesystem::path& checkpoint);

// Writes MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc and copies the
// tokenizer files into `output`. Throws WhisperModelError (or foundation::FileError) naming the file
// and what is wrong; returns the configuration it used.
WhisperModelConfig convertWhisperCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& output);

}  // namespace coreml::whisper
