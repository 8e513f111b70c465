// The snapshot of a repository revision into the local cache, and its offline check.
#include <memory>

#include "Hub/HubApi.hpp"

namespace hub {

namespace fs = std::filesystem;

namespace {

// The regular, non-hidden files below `folder`; hidden folders (the metadata folder ".cache" among them)
// are not entered. Enumeration errors are passed over.
std::vector<fs::path> getFileUrls(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    if (error) return files;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error) break;
        const bool hidden = it->path().filename().string().starts_with(".");
        if (hidden) {
            if (it->is_directory(error)) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(error)) files.push_back(it->path());
    }
    return files;
}

fs::path metadataFolder(const fs::path& repoDestination) {
    return repoDestination / ".cache" / "brindlemoor" / "download";
}

}  // namespace

void HubApi::checkOfflineCache(const fs::path& repoDestination, const fs::path& repoMetadataDestination) const {
    std::error_code error;
    if (!fs::exists(repoDestination, error))
        throw EnvironmentError::offlineModeError("Repository not available locally");
    const std::vector<fs::path> files = getFileUrls(repoDestination);
    if (files.empty()) throw EnvironmentError::offlineModeError("No files available locally for this repository");
    for (const fs::path& file : files) {
        const fs::path metadataPath =
            repoMetadataDestination / (file.lexically_relative(repoDestination).string() + ".metadata");
        auto metadata = readDownloadMetadata(metadataPath);
        if (!metadata)
            throw EnvironmentError::offlineModeError("Metadata not available for " + file.filename().string());
        if (isValidHash(metadata->etag, sha256Pattern) && computeFileHash(file) != metadata->etag)
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + file.filename().string());
    }
}

template <class Report>
fs::path HubApi::snapshotImpl(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                              const Report& report, std::stop_token stop) const {
    const fs::path repoDestination = localRepoLocation(repo);
    const fs::path repoMetadataDestination = metadataFolder(repoDestination);
    if (isOffline()) {
        checkOfflineCache(repoDestination, repoMetadataDestination);
        return repoDestination;
    }

    const std::vector<std::string> filenames = getFilenames(repo, revision, globs, stop);
    // Every name is checked before anything is fetched, so a bad listing leaves nothing behind.
    for (const std::string& name : filenames)
        if (!isSafeRepositoryPath(name))
            throw EnvironmentError::invalidMetadataError("The server listed a file outside the repository folder: " +
                                                         foundation::debugQuoted(name));

    auto progress = std::make_shared<foundation::Progress>(static_cast<int64_t>(filenames.size()));
    if (filenames.empty()) {
        report(*progress);
        return repoDestination;
    }
    for (const std::string& name : filenames) {
        auto child = std::make_shared<foundation::Progress>(100);
        progress->addChild(child, 1);
        const HubFileDownloader downloader{*this,     repo,   revision, repoDestination, repoMetadataDestination,
                                           name,      bmToken, endpoint, useBackgroundSession};
        downloader.download(
            [&](double fraction, std::optional<double> speed) {
                child->setCompletedUnitCount(static_cast<int64_t>(fraction * 100));
                if (speed) {
                    child->setThroughput(speed);
                    progress->setThroughput(speed);
                }
                report(*progress);
            },
            stop);
        if (stop.stop_requested()) return repoDestination;
        child->setCompletedUnitCount(100);
    }
    report(*progress);
    return repoDestination;
}

fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& handler, std::stop_token stop) const {
    return snapshotImpl(
        repo, revision, globs,
        [&](const foundation::Progress& progress) {
            if (handler) handler(progress);
        },
        stop);
}

fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressSpeedHandler& handler, std::stop_token stop) const {
    return snapshotImpl(
        repo, revision, globs,
        [&](const foundation::Progress& progress) {
            if (handler) handler(progress, progress.throughput());
        },
        stop);
}

fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& handler, std::stop_token stop) const {
    return snapshot(Hub::Repo{repoId, Hub::RepoType::models}, revision, globs, handler, stop);
}

fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressSpeedHandler& handler, std::stop_token stop) const {
    return snapshot(Hub::Repo{repoId, Hub::RepoType::models}, revision, globs, handler, stop);
}

}  // namespace hub
