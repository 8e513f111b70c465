#pragma once
// The configuration of one language model: its "config.json", "tokenizer.json" and
// "tokenizer_config.json" (completed with a chat template kept in a file of its own and, for a model
// that does not name its tokenizer class, with a fallback configuration or a class name made from the
// model type), from a local folder or from a repository fetched into the local cache first.
//
// Loading starts in the background (a job on TaskPool::shared()) when the object is made; every
// getter waits for it and then sees the same values or rethrows the same error. Releasing the object
// does not cancel the load.
#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "Hub/Config.hpp"
#include "Hub/HubApi.hpp"

namespace hub {

class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        std::optional<Config> modelConfig;
        std::optional<Config> tokenizerConfig;
        Config tokenizerData;
    };

    // `resourceBundle` replaces the module's resource bundle as the folder of fallback tokenizer
    // configurations (tests use it).
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision, HubApi hubApi,
                                      std::optional<std::filesystem::path> resourceBundle = std::nullopt);
    LanguageModelConfigurationFromHub(std::filesystem::path modelFolder, HubApi hubApi,
                                      std::optional<std::filesystem::path> resourceBundle = std::nullopt);

    // Each waits for the load and rethrows its error unchanged.
    std::optional<Config> modelConfig() const;
    // The tokenizer configuration completed from the model type when it names no tokenizer class;
    // computed anew on every call.
    std::optional<Config> tokenizerConfig() const;
    Config tokenizerData() const;
    // The model configuration's "model_type" when it is a string.
    std::optional<std::string> modelType() const;

    // Fetches "config.json", "tokenizer_config.json", "chat_template.jinja", "chat_template.json" and
    // "tokenizer.json" of the model repository into the client's cache, then loads that folder.
    static Configurations loadConfig(const std::string& modelName, const std::string& revision, const HubApi& hubApi);
    // Throws HubClientError: configurationMissing("tokenizer.json"), jsonSerialization for a file
    // that does not parse, fileSystemError for one that cannot be read.
    static Configurations loadConfig(const std::filesystem::path& modelFolder, const HubApi& hubApi);

    // The fallback tokenizer configuration "<model type>_tokenizer_config.json" of the module's
    // resource bundle, or of the given folder. Nothing for a model type that is empty or holds other
    // than letters, marks, digits, "_" and "-", for a missing file, and for one that cannot be read
    // or is not a JSON object (that failure is printed, never thrown).
    static std::optional<Config> fallbackTokenizerConfig(const std::string& modelType);
    static std::optional<Config> fallbackTokenizerConfig(const std::string& modelType,
                                                         const std::filesystem::path& resourceBundle);

    // The module's resource bundle "quillmesh_Hub.bundle": beside the running program, else in the
    // source tree it was built from. Located once; when neither exists, one line says so on standard
    // error and there are no fallback configurations.
    static std::optional<std::filesystem::path> resourceBundle();
    // The first of the two folders that exists; when none does, the line
    // "could not load resource bundle: from <first> or <second>" on standard error and nothing.
    static std::optional<std::filesystem::path> locateResourceBundle(const std::filesystem::path& first,
                                                                     const std::filesystem::path& second);

private:
    const Configurations& configurations() const;
    std::optional<Config> fallback(const std::string& modelType) const;

    std::shared_future<Configurations> configPromise_;
    std::optional<std::filesystem::path> resourceBundle_;
};

}  // namespace hub
