#pragma once
// The engine's model helpers, next to the core module's model-file helpers of the same namespace.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Lexiphonic/Core/Models/ModelSupport.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "PelluxCore/ModelUtilities.hpp"

namespace lexiphonic::ModelUtilities {

using namespace pellux::ModelUtilities;

// The distinct model folder names among repository paths (or folder names) that belong to a known
// variant, ordered by model size, then by name.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

// The device's support from the given table, or from the built-in one.
ModelSupport modelSupport(const std::string& for_, const std::optional<ModelSupportConfig>& from = std::nullopt);
// The size family from the decoder's vocabulary size and the encoder's width; an unknown vocabulary
// size is logged and taken as base.
ModelVariant detectVariant(int64_t logitsDim, int64_t encoderDim);
// "openai/whisper-" + the variant's description.
std::string tokenizerNameForVariant(ModelVariant variant);
// The variant's tokenizer from the first local folder holding "tokenizer.json" (the hub cache's
// folder of the tokenizer repository, then `tokenizerFolder`, then the extra paths); when none
// holds one or its files do not load, downloaded from the tokenizer repository. Only the download's
// errors are thrown.
std::shared_ptr<WhisperTokenizer> loadTokenizer(ModelVariant for_, const std::optional<std::filesystem::path>& tokenizerFolder,
                                                const std::vector<std::filesystem::path>& additionalSearchPaths = {},
                                                bool useBackgroundSession = false);

}  // namespace lexiphonic::ModelUtilities
