#include "Lexiphonic/Utilities/ModelUtilities.hpp"

#include <algorithm>
#include <exception>
#include <string_view>

#include "Lexiphonic/Core/Models/ModelSupport.hpp"

namespace lexiphonic::ModelUtilities {

namespace {

// Position of the first variant whose description the name contains; names of no variant sort last.
size_t rank(const std::string& name) {
    for (size_t i = 0; i < allModelVariants.size(); ++i) {
        if (name.find(description(allModelVariants[i])) != std::string::npos) return i;
    }
    return allModelVariants.size();
}

}  // namespace

std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles) {
    // A non-large variant's key carries the folder's closing "/", so "tiny" does not claim "tiny.en".
    std::vector<std::string> keys;
    for (ModelVariant variant : allModelVariants) {
        std::string key(description(variant));
        if (key.find("large") == std::string::npos) key += "/";
        keys.push_back(std::move(key));
    }

    std::vector<std::string> names;
    for (const std::string& file : modelFiles) {
        std::string folder = file.substr(0, file.find('/')) + "/";
        bool known = std::any_of(keys.begin(), keys.end(),
                                 [&](const std::string& key) { return folder.find(key) != std::string::npos; });
        if (!known) continue;
        folder.pop_back();
        if (std::find(names.begin(), names.end(), folder) == names.end()) names.push_back(std::move(folder));
    }

    std::vector<std::pair<size_t, std::string>> ranked;
    ranked.reserve(names.size());
    for (auto& name : names) ranked.emplace_back(rank(name), std::move(name));
    std::sort(ranked.begin(), ranked.end());

    std::vector<std::string> result;
    result.reserve(ranked.size());
    for (auto& entry : ranked) result.push_back(std::move(entry.second));
    return result;
}

}  // namespace lexiphonic::ModelUtilities

#include "Hub/HubApi.hpp"
#include "Hub/LanguageModelConfigurationFromHub.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizerWrapper.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "PelluxCore/Logging.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace lexiphonic::ModelUtilities {

using pellux::Logging;

ModelSupport modelSupport(const std::string& for_, const std::optional<ModelSupportConfig>& from) {
    return (from ? *from : Constants::fallbackModelSupportConfig()).modelSupport(for_);
}

ModelVariant detectVariant(int64_t logitsDim, int64_t encoderDim) {
    switch (logitsDim) {
        case 51864:  // English-only vocabulary
            switch (encoderDim) {
                case 384: return ModelVariant::tinyEn;
                case 768: return ModelVariant::smallEn;
                case 1024: return ModelVariant::mediumEn;
                default: return ModelVariant::baseEn;
            }
        case 51865:  // multilingual vocabulary
            switch (encoderDim) {
                case 384: return ModelVariant::tiny;
                case 768: return ModelVariant::small;
                case 1024: return ModelVariant::medium;
                case 1280: return ModelVariant::largev2;
                default: return ModelVariant::base;
            }
        case 51866: return ModelVariant::largev3;
        default:
            Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
            return ModelVariant::base;
    }
}

std::string tokenizerNameForVariant(ModelVariant variant) {
    return "openai/whisper-" + std::string(description(variant));
}

std::shared_ptr<WhisperTokenizer> loadTokenizer(ModelVariant for_, const std::optional<std::filesystem::path>& tokenizerFolder,
                                                const std::vector<std::filesystem::path>& additionalSearchPaths,
                                                bool useBackgroundSession) {
    const std::string identifier = tokenizerNameForVariant(for_);
    hub::HubApi hubApi({.downloadBase = tokenizerFolder, .useBackgroundSession = useBackgroundSession});
    const std::filesystem::path hubLocation = hubApi.localRepoLocation({identifier, hub::Hub::RepoType::models});

    std::vector<std::filesystem::path> searchFolders{hubLocation};
    if (tokenizerFolder) searchFolders.push_back(*tokenizerFolder);
    searchFolders.insert(searchFolders.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    std::optional<std::filesystem::path> localFolder;
    std::exception_ptr localFailure;
    for (const auto& folder : searchFolders) {
        std::error_code ec;
        const auto file = folder / "tokenizer.json";
        bool found = std::filesystem::exists(file, ec);
        Logging::debug("Checking for local tokenizer at " + file.string() + " - " + (found ? "found" : "not found"));
        if (found) {
            localFolder = folder;
            break;
        }
    }

    if (!localFolder) {
        Logging::debug("No tokenizer found in any local search paths");
    } else {
        Logging::debug("Found local tokenizer at " + localFolder->string());
        try {
            hub::LanguageModelConfigurationFromHub configuration(*localFolder, hubApi);
            std::optional<hub::Config> tokenizerConfig = configuration.tokenizerConfig();
            if (!tokenizerConfig) {
                Logging::debug("Tokenizer configuration not found in local config");
            } else {
                hub::Config tokenizerData = configuration.tokenizerData();
                auto tokenizer = std::make_shared<tokenizers::PreTrainedTokenizer>(*tokenizerConfig, tokenizerData, true);
                Logging::debug("Loading tokenizer from " + localFolder->string());
                return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), *localFolder);
            }
        } catch (const std::exception& error) {
            Logging::debug("Error loading local tokenizer: " + std::string(error.what()));
            localFailure = std::current_exception();
        }
    }

    Logging::debug("Downloading tokenizer from Hub at " + hubLocation.string());
    try {
        hub::LanguageModelConfigurationFromHub configuration(identifier, "main", hubApi);
        std::optional<hub::Config> tokenizerConfig = configuration.tokenizerConfig();
        if (!tokenizerConfig) throw tokenizers::TokenizerError(tokenizers::TokenizerError::Case::missingConfig);
        auto tokenizer = tokenizers::AutoTokenizer::from(*tokenizerConfig, configuration.tokenizerData(), true);
        return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), hubLocation);
    } catch (...) {
        // A damaged local tokenizer is why the download was tried: when that fails too (offline, say),
        // the damage is what the caller must hear about.
        if (localFailure) std::rethrow_exception(localFailure);
        throw;
    }
}

}  // namespace lexiphonic::ModelUtilities
