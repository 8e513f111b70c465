#include "PelluxCore/ModelDownloader.hpp"

#include "Hub/HubApi.hpp"
#include "PelluxCore/Logging.hpp"
#include "PelluxCore/MLModelExtensions.hpp"
#include "PelluxCore/ModelUtilities.hpp"

namespace pellux {

namespace {

std::string describeRepo(const hub::Hub::Repo& repo) {
    return "Repo(id: \"" + repo.id + "\", type: " + std::string(hub::Hub::rawValue(repo.type)) + ")";
}

}  // namespace

// ---- ModelInfo

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::filesystem::path ModelInfo::modelURL(const std::filesystem::path& baseURL) const {
    std::filesystem::path url = baseURL / name;
    if (version) url /= *version;
    if (variant) url /= *variant;
    return url;
}

std::optional<std::filesystem::path> ModelInfo::findBaseFolder(const std::filesystem::path& in) const {
    std::filesystem::path url = in;
    while (std::distance(url.begin(), url.end()) >= 2) {
        if (url.filename() == name) return url.parent_path();
        std::filesystem::path parent = url.parent_path();
        if (parent == url) break;
        url = parent;
    }
    return std::nullopt;
}

std::string ModelInfo::description() const {
    std::string text = name;
    if (version) text += "/" + *version;
    if (variant) text += "/" + *variant;
    return text;
}

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") + ", variant: " + variant.value_or("nil") +
           ", computeUnit: " + pellux::description(computeUnits) + ")";
}

// ---- ModelDownloaderError

ModelDownloaderError::ModelDownloaderError(Case errorCase, std::string message)
    : case_(errorCase), message_(std::move(message)) {
    setWhat(describe());
}

std::string ModelDownloaderError::describe() const { return foundation::describeCase("modelUnavailable", message_); }

// ---- ModelDownloader

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : endpoint_(std::move(endpoint)),
      repoName_(std::move(repoName)),
      modelToken_(std::move(modelToken)),
      revision_(std::move(revision)),
      useBackgroundSession_(useBackgroundSession) {}

hub::HubApi ModelDownloader::hubApi(const std::optional<std::filesystem::path>& downloadBase) const {
    return hub::HubApi({.downloadBase = downloadBase,
                        .bmToken = modelToken_,
                        .endpoint = endpoint_,
                        .useBackgroundSession = useBackgroundSession_});
}

std::filesystem::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                                     const std::optional<std::filesystem::path>& downloadBase) {
    const std::string pattern = modelInfo.downloadPattern();
    const hub::Hub::Repo repo{repoName_, hub::Hub::RepoType::models};
    Logging::debug("[ModelDownloader] Searching for models matching \"" + pattern + "\" in " + describeRepo(repo));
    hub::HubApi api = hubApi(downloadBase);
    if (api.getFilenames(repo, revision_, {pattern}).empty()) {
        throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern + "\" in " + repoName_);
    }
    Logging::debug("[ModelDownloader] Downloading model " + pattern + "...");
    return api.snapshot(repo, revision_, {pattern});
}

std::filesystem::path ModelDownloader::localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) {
    return hubApi(downloadBase).localRepoLocation({repoName_, hub::Hub::RepoType::models});
}

std::optional<std::filesystem::path> ModelDownloader::modelURLIfExists(const std::filesystem::path& inFolder,
                                                                       const std::string& named) {
    std::filesystem::path url = ModelUtilities::detectModelURL(inFolder, named);
    std::error_code ec;
    if (std::filesystem::exists(url, ec)) return url;
    return std::nullopt;
}

std::filesystem::path ModelDownloader::resolveModel(const std::string& modelFileName, const ModelInfo& using_,
                                                    const std::optional<std::filesystem::path>& modelFolder,
                                                    const std::optional<std::filesystem::path>& downloadBase, bool download,
                                                    const ModelStateCallback& modelStateCallback) {
    if (modelFolder) {
        if (auto url = modelURLIfExists(using_.modelURL(*modelFolder), modelFileName)) {
            Logging::debug("[ModelDownloader] Found " + modelFileName + " in model folder");
            return *url;
        }
    }
    if (auto url = modelURLIfExists(using_.modelURL(localRepoLocation(downloadBase)), modelFileName)) {
        Logging::debug("[ModelDownloader] Found existing " + modelFileName + " in cache");
        return *url;
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + modelFileName + " (download disabled)");
    }
    if (modelStateCallback) modelStateCallback(ModelState::downloading);
    std::filesystem::path folder = downloadModel(using_, downloadBase);
    auto url = modelURLIfExists(using_.modelURL(folder), modelFileName);
    if (!url) throw ModelDownloaderError::modelUnavailable("No model found for " + modelFileName);
    Logging::debug("[ModelDownloader] Downloaded " + modelFileName);
    if (modelStateCallback) modelStateCallback(ModelState::downloaded);
    return *url;
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns, const std::filesystem::path& in) const {
    for (const auto& pattern : patterns) {
        std::filesystem::path path = in;
        size_t kept = 0;
        size_t start = 0;
        while (start <= pattern.size()) {
            size_t slash = pattern.find('/', start);
            std::string component = pattern.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (!component.empty()) {
                if (component.find('*') != std::string::npos) break;
                // A component that would leave the repository folder never counts as present.
                if (component == ".." || component == ".") return false;
                path /= component;
                ++kept;
            }
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        if (kept == 0) return false;
        std::error_code ec;
        std::filesystem::directory_iterator entries(path, ec);
        if (ec || entries == std::filesystem::directory_iterator()) return false;
    }
    return true;
}

std::filesystem::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                                   const std::optional<std::filesystem::path>& downloadBase, bool download,
                                                   const ProgressCallback& progressCallback) {
    std::filesystem::path folder = localRepoLocation(downloadBase);
    if (patternsExistLocally(patterns, folder)) {
        Logging::debug("[ModelDownloader] All models found in local cache at " + folder.string());
        return folder;
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No local models found for repo '" + repoName_ +
                                                     "' and download is disabled.");
    }
    Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) + " model(s) from " + repoName_ + "...");
    std::filesystem::path downloaded = hubApi(downloadBase).snapshot(
        hub::Hub::Repo{repoName_, hub::Hub::RepoType::models}, revision_, patterns,
        hub::HubApi::ProgressHandler([&](const foundation::Progress& progress) {
            if (progressCallback) progressCallback(progress);
        }));
    Logging::info("[ModelDownloader] Download complete: " + downloaded.string());
    return downloaded;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& matching,
                                                         const std::optional<std::filesystem::path>& downloadBase) {
    return hubApi(downloadBase).getFilenames({repoName_, hub::Hub::RepoType::models}, revision_, matching);
}

}  // namespace pellux
