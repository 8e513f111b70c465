#include "Hub/LanguageModelConfigurationFromHub.hpp"

#include <chrono>
#include <iostream>
#include <system_error>

#include "Hub/Hub.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/TaskPool.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Platform/Foundation/URLError.hpp"

namespace hub {

namespace fs = std::filesystem;
namespace text = foundation::text;
using Hub::HubClientError;

namespace {

bool isPresent(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::optional<Config> parseIfPresent(const HubApi& hubApi, const fs::path& file) {
    if (!isPresent(file)) return std::nullopt;
    return hubApi.configuration(file);
}

// The chat template of the folder: "chat_template.jinja" as text, else the "chat_template" member of
// "chat_template.json"; anything unreadable or malformed gives none.
std::optional<std::string> chatTemplate(const HubApi& hubApi, const fs::path& folder) {
    fs::path jinjaFile = folder / "chat_template.jinja";
    if (isPresent(jinjaFile)) {
        std::optional<std::string> contents = foundation::readFileIfPresent(jinjaFile);
        if (!contents || !text::isValidUTF8(*contents)) return std::nullopt;
        return contents;
    }
    fs::path jsonFile = folder / "chat_template.json";
    if (isPresent(jsonFile)) {
        try {
            return hubApi.configuration(jsonFile)["chatTemplate"].string();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::string> modelTypeOf(const LanguageModelConfigurationFromHub::Configurations& loaded) {
    if (!loaded.modelConfig) return std::nullopt;
    return (*loaded.modelConfig)["modelType"].string();
}

bool isValidModelType(const std::string& modelType) {
    if (modelType.empty() || !text::isValidUTF8(modelType)) return false;
    for (char32_t c : text::toScalars(modelType))
        if (!text::isAlphanumeric(c) && c != U'_' && c != U'-') return false;
    return true;
}

// When the hub cannot be reached, a tokenizer.json already in the repository's local folder that does not
// parse is the failure worth reporting: the caller tried that copy first, and the unreachable hub only
// hides why it was not used.
void throwIfLocalTokenizerDamaged(const HubApi& hubApi, const std::string& modelName) {
    fs::path file;
    try {
        file = hubApi.localRepoLocation(Hub::Repo{modelName, Hub::RepoType::models}) / "tokenizer.json";
    } catch (const HubApi::EnvironmentError&) {
        return;
    }
    if (!isPresent(file)) return;
    try {
        hubApi.configuration(file);
    } catch (const HubClientError& error) {
        if (error.errorCase() == HubClientError::Case::jsonSerialization) throw;
    } catch (const std::exception&) {
        // Unreadable rather than damaged: the hub's failure stays the one reported.
    }
}

fs::path executableFolder() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable.parent_path();
}

}  // namespace

// --- Construction and getters

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                                                     HubApi hubApi,
                                                                     std::optional<fs::path> resourceBundle)
    : resourceBundle_(std::move(resourceBundle)) {
    configPromise_ = foundation::TaskPool::shared()
                         .submit([modelName = std::move(modelName), revision = std::move(revision),
                                  hubApi = std::move(hubApi)] { return loadConfig(modelName, revision, hubApi); })
                         .share();
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(fs::path modelFolder, HubApi hubApi,
                                                                     std::optional<fs::path> resourceBundle)
    : resourceBundle_(std::move(resourceBundle)) {
    configPromise_ = foundation::TaskPool::shared()
                         .submit([modelFolder = std::move(modelFolder), hubApi = std::move(hubApi)] {
                             return loadConfig(modelFolder, hubApi);
                         })
                         .share();
}

const LanguageModelConfigurationFromHub::Configurations& LanguageModelConfigurationFromHub::configurations() const {
    std::shared_future<Configurations> promise = configPromise_;
    foundation::TaskPool& pool = foundation::TaskPool::shared();
    if (pool.isWorkerThread()) {
        // Never block a pool thread on a job that may be queued behind it.
        while (promise.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            if (!pool.runOneQueuedJob()) promise.wait_for(std::chrono::microseconds(200));
        }
    }
    return promise.get();  // the shared state lives as long as configPromise_
}

std::optional<Config> LanguageModelConfigurationFromHub::modelConfig() const { return configurations().modelConfig; }

Config LanguageModelConfigurationFromHub::tokenizerData() const { return configurations().tokenizerData; }

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    return modelTypeOf(configurations());
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const Configurations& loaded = configurations();
    if (!loaded.tokenizerConfig) {
        std::optional<std::string> type = modelTypeOf(loaded);
        if (!type) return std::nullopt;
        return fallback(*type);
    }
    const Config& config = *loaded.tokenizerConfig;
    if (config["tokenizerClass"].isString()) return config;
    std::optional<std::string> type = modelTypeOf(loaded);
    if (!type) return config;

    static const Config::Dictionary noEntries;
    const Config::Dictionary& loadedEntries = config.isDictionary() ? *config.dictionary() : noEntries;
    if (std::optional<Config> fallbackConfig = fallback(*type)) {
        // The fallback's values win; the loaded configuration adds the keys the fallback lacks.
        Config completed = *fallbackConfig;
        for (const auto& [key, value] : loadedEntries)
            if (!completed.dictionary()->contains(key)) completed.set(key, value);
        return completed;
    }
    Config completed = config.isDictionary() ? config : Config(Config::Dictionary{});
    completed.set("tokenizer_class", Config(text::titlecased(*type) + "Tokenizer"));
    return completed;
}

std::optional<Config> LanguageModelConfigurationFromHub::fallback(const std::string& modelType) const {
    if (resourceBundle_) return fallbackTokenizerConfig(modelType, *resourceBundle_);
    return fallbackTokenizerConfig(modelType);
}

// --- Loading

// Each file is tested for existence before it is read; the client reads and parses them.
LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const fs::path& modelFolder, const HubApi& hubApi) {
    Configurations loaded;
    try {
        loaded.modelConfig = parseIfPresent(hubApi, modelFolder / "config.json");
        fs::path tokenizerFile = modelFolder / "tokenizer.json";
        if (!isPresent(tokenizerFile)) throw HubClientError::configurationMissing("tokenizer.json");
        loaded.tokenizerData = hubApi.configuration(tokenizerFile);
        loaded.tokenizerConfig = parseIfPresent(hubApi, modelFolder / "tokenizer_config.json");
    } catch (const HubClientError&) {
        throw;
    } catch (...) {
        throw HubClientError::fileSystemError(std::current_exception());
    }
    if (std::optional<std::string> chatTemplateText = chatTemplate(hubApi, modelFolder)) {
        if (!loaded.tokenizerConfig || !loaded.tokenizerConfig->isDictionary())
            loaded.tokenizerConfig = Config(Config::Dictionary{});
        loaded.tokenizerConfig->set("chat_template", Config(std::move(*chatTemplateText)));
    }
    return loaded;
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const std::string& modelName, const std::string& revision, const HubApi& hubApi) {
    fs::path folder;
    try {
        folder = hubApi.snapshot(
            Hub::Repo{modelName, Hub::RepoType::models}, revision,
            {"config.json", "tokenizer_config.json", "chat_template.jinja", "chat_template.json", "tokenizer.json"});
    } catch (const HubClientError& error) {
        // A request that failed in transport (no answer at all) is a downloadError.
        if (error.errorCase() == HubClientError::Case::downloadError) throwIfLocalTokenizerDamaged(hubApi, modelName);
        throw;
    } catch (const foundation::URLError& error) {
        throwIfLocalTokenizerDamaged(hubApi, modelName);
        if (error.code() == foundation::URLError::Code::resourceUnavailable)
            throw HubClientError::resourceNotFound(modelName);
        throw HubClientError::networkError(std::current_exception());
    }
    return loadConfig(folder, hubApi);
}

// --- Fallback configurations

std::optional<Config> LanguageModelConfigurationFromHub::fallbackTokenizerConfig(const std::string& modelType) {
    if (!isValidModelType(modelType)) return std::nullopt;
    std::optional<fs::path> bundle = resourceBundle();
    if (!bundle) return std::nullopt;
    return fallbackTokenizerConfig(modelType, *bundle);
}

std::optional<Config> LanguageModelConfigurationFromHub::fallbackTokenizerConfig(const std::string& modelType,
                                                                                const fs::path& bundle) {
    if (!isValidModelType(modelType)) return std::nullopt;
    fs::path file = bundle / (modelType + "_tokenizer_config.json");
    if (!isPresent(file)) return std::nullopt;
    try {
        std::string contents = foundation::readFile(file);
        foundation::JSONDocument document = foundation::JSONDocument::parse(contents);
        if (!document.root().isObject())
            throw HubClientError::parseError("Failed to parse fallback tokenizer config");
        return Config::convertToBinaryDistinctKeys(document.root());
    } catch (const foundation::Error& error) {
        std::cout << "Error loading fallback tokenizer config: " << error.localizedDescription() << std::endl;
    } catch (const std::exception& error) {
        std::cout << "Error loading fallback tokenizer config: " << error.what() << std::endl;
    }
    return std::nullopt;
}

namespace {

// The bundle in the source tree this file was compiled from. A compiler cache may record the source
// path relative to the build folder, which holds the executable somewhere below it: then the folder
// is looked for from each of the executable's ancestors.
fs::path sourceTreeBundle() {
    fs::path relative = fs::path(__FILE__).parent_path() / "Resources" / "quillmesh_Hub.bundle";
    if (relative.is_absolute()) return relative;
    std::error_code error;
    fs::path ancestor = executableFolder();
    for (int level = 0; level < 8 && !ancestor.empty(); ++level) {
        fs::path candidate = (ancestor / relative).lexically_normal();
        if (fs::is_directory(candidate, error)) return candidate;
        if (ancestor == ancestor.parent_path()) break;
        ancestor = ancestor.parent_path();
    }
    return relative;
}

}  // namespace

std::optional<fs::path> LanguageModelConfigurationFromHub::resourceBundle() {
    static const std::optional<fs::path> bundle =
        locateResourceBundle(executableFolder() / "quillmesh_Hub.bundle", sourceTreeBundle());
    return bundle;
}

std::optional<fs::path> LanguageModelConfigurationFromHub::locateResourceBundle(const fs::path& first,
                                                                               const fs::path& second) {
    std::error_code error;
    for (const fs::path& candidate : {first, second})
        if (fs::is_directory(candidate, error)) return candidate;
    // A missing bundle only means there are no fallback configurations: say so, and go on.
    std::cerr << "could not load resource bundle: from " << first.string() << " or " << second.string() << std::endl;
    return std::nullopt;
}

}  // namespace hub
