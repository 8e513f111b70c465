#include <exception>

#include "Hub/Downloader.hpp"
#include "Hub/HubApi.hpp"
#include "Platform/Foundation/Files.hpp"

namespace hub {

namespace fs = std::filesystem;
using EnvironmentError = HubApi::EnvironmentError;

namespace {

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
    const fs::path destination = this->destination();
    const fs::path metadataPath = this->metadataPath();
    const auto localMetadata = hub.readDownloadMetadata(metadataPath);
    const FileMetadata remote = hub.getFileMetadata(source(), stop);

    // Current by commit: nothing to fetch, nothing to write.
    const std::string remoteCommit = remote.commitHash.value_or("");
    if (isValidHash(remoteCommit, commitHashPattern) && downloaded() && localMetadata &&
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
        if (localMetadata && localMetadata->etag == etag) {
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
    Downloader downloader(destination, incompletePath, Downloader::Params{.inBackground = backgroundSession});
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
