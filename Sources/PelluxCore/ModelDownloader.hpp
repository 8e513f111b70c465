#pragma once
// Finds a model on disk or fetches it from a repository of the model-hosting service: a caller's
// model folder first, then the hub client's local cache, and a download only when allowed. Each
// operation builds its own hub client; the downloader keeps only its settings.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PelluxCore/ModelState.hpp"
#include "Platform/CoreML/MLModelConfiguration.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Progress.hpp"

namespace hub {
class HubApi;
}

namespace pellux {

// A model inside a repository: name[/version][/variant].
struct ModelInfo {
    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    coreml::MLComputeUnits computeUnits = coreml::MLComputeUnits::all;

    // name/(version or *)/(variant or *)/*
    std::string downloadPattern() const;
    // The base with name, then version and variant when present, appended.
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The parent of the nearest enclosing folder named `name`; nothing when there is none.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& in) const;
    // name, version and variant that are present, joined by "/".
    std::string description() const;
    std::string debugDescription() const;
};

class ModelDownloaderError : public foundation::Error {
public:
    enum class Case { modelUnavailable };
    static ModelDownloaderError modelUnavailable(std::string message) {
        return ModelDownloaderError(Case::modelUnavailable, std::move(message));
    }
    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    std::string localizedDescription() const override { return message_; }
    std::string describe() const override;

private:
    ModelDownloaderError(Case errorCase, std::string message);
    Case case_;
    std::string message_;
};

class ModelDownloader {
public:
    using ModelStateCallback = std::function<void(ModelState)>;
    using ProgressCallback = std::function<void(const foundation::Progress&)>;

    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken = std::nullopt,
                    std::string revision = "main", bool useBackgroundSession = false);
    virtual ~ModelDownloader() = default;

    // The folder of the snapshot of the model's files. Throws modelUnavailable when no file matches.
    virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                                const std::optional<std::filesystem::path>& downloadBase = std::nullopt);
    virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase = std::nullopt);
    // The model file: from the model folder, else from the cache, else downloaded when allowed
    // (reporting downloading, then downloaded).
    virtual std::filesystem::path resolveModel(const std::string& modelFileName, const ModelInfo& using_,
                                               const std::optional<std::filesystem::path>& modelFolder = std::nullopt,
                                               const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                               bool download = true, const ModelStateCallback& modelStateCallback = {});
    // The repository's local folder, downloading the patterns unless each already has files there.
    virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                              const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                              bool download = true, const ProgressCallback& progressCallback = {});
    virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& matching,
                                                    const std::optional<std::filesystem::path>& downloadBase = std::nullopt);
    virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& inFolder,
                                                                  const std::string& named);

private:
    hub::HubApi hubApi(const std::optional<std::filesystem::path>& downloadBase) const;
    bool patternsExistLocally(const std::vector<std::string>& patterns, const std::filesystem::path& in) const;

    const std::string endpoint_;
    const std::string repoName_;
    const std::optional<std::string> modelToken_;
    const std::string revision_;
    const bool useBackgroundSession_;
};

}  // namespace pellux
