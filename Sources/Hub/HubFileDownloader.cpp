#include <exception>

#include "Hub/Downloader.hpp"
#include "Hub/HubApi.hpp"
#include "Platform/Foundation/Files.hpp"

namespace hub {

namespace fs = std::filesystem;
using EnvironmentError = HubApi::EnvironmentError;

namespace {

// Whether the file at `path` has the size the hub reports; a hub that reports none cannot disagree.
bool hasReportedSize(const fs::path& path, const std::optional<int64_t>& size) {
    if (!size) return true;
    std::error_code error;
    const auto actual = fs::file_size(path, error);
    return !error && static_cast<int64_t>(actual) == *size;
}

void requireSafeName(const std::string& relativeFilename) {
    if (!isSafeRepositoryPath(relativeFilename))
        throw EnvironmentError::invalidMetadataError("The file name " + foundation::debugQuoted(relativeFilename) +
                                                     " does not name a file inside the repository folder");
}

}  // namespace

std::string HubApi::HubFileDownloader::source() const {
    return HubApi::resolveURL(endpoint ? *endpoint : std::string(HubApi::defaultEndpoint), repo, revision,
                              relativeFilename);
}

fs::path HubApi::HubFileDownloader::destination() const {
    requireSafeName(relativeFilename);
    return repoDestination / relativeFilename;
}

fs::path HubApi::HubFileDownloader::metadataPath() const {
    requireSafeName(relativeFilename);
    return repoMetadataDestination / (relativeFilename + ".metadata");
}

bool HubApi::HubFileDownloader::downloaded() const {
    std::error_code error;
    return fs::exists(destination(), error);
}

void HubApi::HubFileDownloader::prepareCacheDestination(const fs::path& incompletePath) const {
    fs::create_directories(incompletePath.parent_path());
    std::error_code error;
    if (!fs::exists(incompletePath, error)) foundation::writeFileAtomically(incompletePath, "");
}

fs::path HubApi::HubFileDownloader::download(const std::function<void(double, std::optional<double>)>& progress,
                                             std::stop_token stop) const {
    try {
        return fetch(progress, stop);
    } catch (const fs::filesystem_error&) {
        // A listed name the file system refuses (too long, say) is this client's failure, not a library's.
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    } catch (const foundation::FileError&) {
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    }
}

fs::path HubApi::HubFileDownloader::fetch(const std::function<void(double, std::optional<double>)>& progress,
                                          std::stop_token stop) const {
    const fs::path destination = this->destination();
    const fs::path metadataPath = this->metadataPath();
    const auto localMetadata = hub.readDownloadMetadata(metadataPath);
    const FileMetadata remote = hub.getFileMetadata(source(), stop);

    // Current by commit: nothing to fetch, nothing to write. The tags say nothing about what happened to
    // the file on disk since, so a copy whose size is not the hub's is fetched again.
    const std::string remoteCommit = remote.commitHash.value_or("");
    const bool intact = downloaded() && hasReportedSize(destination, remote.size);
    if (isValidHash(remoteCommit, commitHashPattern) && intact && localMetadata &&
        localMetadata->commitHash == remoteCommit)
        return destination;

    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty())
        throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    const std::string& etag = *remote.etag;
    // The etag becomes part of the partial file's name, so it must stay one name.
    if (etag.find('/') != std::string::npos || etag.find('\0') != std::string::npos)
        throw EnvironmentError::invalidMetadataError("The server's etag " + foundation::debugQuoted(etag) +
                                                     " cannot name a partial file");

    if (downloaded()) {
        if (intact && localMetadata && localMetadata->etag == etag) {
            hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
            return destination;
        }
        if (isValidHash(etag, sha256Pattern) && computeFileHash(destination) == etag) {
            hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
            return destination;
        }
    }

    const fs::path incompletePath = repoMetadataDestination / (relativeFilename + "." + etag + ".incomplete");
    prepareCacheDestination(incompletePath);
    // A SHA-256 etag is the file's digest: the bytes are checked against it before they are moved into place.
    Downloader downloader(destination, incompletePath,
                          Downloader::Params{.inBackground = backgroundSession,
                                             .sha256 = isValidHash(etag, sha256Pattern) ? std::optional(etag)
                                                                                        : std::nullopt});
    auto states = downloader.download(source(), bmToken, remote.size);
    for (;;) {
        auto state = states.next(stop);
        if (!state) {
            // The caller stopped: the transfer ends, the partial file stays for the next run.
            downloader.cancel();
            return destination;
        }
        if (const auto* downloading = state->as<Downloader::DownloadState::Downloading>()) {
            if (progress) progress(downloading->fraction, downloading->speed);
        } else if (state->as<Downloader::DownloadState::Completed>()) {
            break;
        } else if (const auto* failed = state->as<Downloader::DownloadState::Failed>()) {
            std::rethrow_exception(failed->error);
        }
    }
    hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    return destination;
}

}  // namespace hub
