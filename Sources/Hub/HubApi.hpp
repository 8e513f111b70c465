#pragma once
// The client of the model-hosting service: its settings (download base, token, endpoint, offline mode),
// the authorised requests and file metadata, the snapshot of a repository into the local cache, and the
// cache's metadata files. A small value that each caller builds for itself; every network call blocks the
// calling thread and stops early when its stop token fires.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Hub/Config.hpp"
#include "Hub/Hub.hpp"
#include "Hub/NetworkMonitor.hpp"
#include "Hub/URLSession.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Progress.hpp"

namespace hub {

class HubApi {
public:
    // The hosting service's base URL when neither the caller nor BM_ENDPOINT names one.
    static constexpr std::string_view defaultEndpoint = "https://hub.brindlemoor.com";
    static constexpr std::string_view sha256Pattern = "^[0-9a-f]{64}$";
    static constexpr std::string_view commitHashPattern = "^[0-9a-f]{40}$";

    // Cache and offline failures.
    class EnvironmentError : public foundation::Error {
    public:
        enum class Case { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };
        static EnvironmentError invalidMetadataError(std::string message) { return {Case::invalidMetadataError, std::move(message)}; }
        static EnvironmentError offlineModeError(std::string message) { return {Case::offlineModeError, std::move(message)}; }
        static EnvironmentError fileIntegrityError(std::string message) { return {Case::fileIntegrityError, std::move(message)}; }
        static EnvironmentError fileWriteError(std::string message) { return {Case::fileWriteError, std::move(message)}; }

        Case errorCase() const { return case_; }
        const std::string& message() const { return message_; }
        // "Offline mode error: Repository not available locally", ...
        std::optional<std::string> errorDescription() const { return localizedDescription(); }
        std::string localizedDescription() const override;
        std::string describe() const override;

    private:
        EnvironmentError(Case errorCase, std::string message);
        Case case_;
        std::string message_;
    };

    struct Params {
        std::optional<std::filesystem::path> downloadBase = std::nullopt;  // default: ~/Documents/brindlemoor
        std::optional<std::string> bmToken = std::nullopt;  // default: the environment and the token files
        std::optional<std::string> endpoint = std::nullopt;  // default: BM_ENDPOINT, else defaultEndpoint
        bool useBackgroundSession = false;
        // true: always offline; false: never; absent: offline when the network monitor says so.
        std::optional<bool> useOfflineMode = std::nullopt;
        // The monitor whose state decides; the process-wide one when absent.
        std::shared_ptr<NetworkMonitor> networkMonitor = nullptr;
    };

    HubApi();
    explicit HubApi(Params params);
    // The process-wide client with every setting left to its default, built once.
    static HubApi shared();

    std::filesystem::path downloadBase;
    std::optional<std::string> bmToken;
    std::string endpoint;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;

    // The "Authorization" value for a token: nothing for no token or an empty one. A trailing line end is
    // dropped; a token holding any other line break or a NUL never reaches a header: it throws
    // HubClientError.authorizationRequired.
    static std::optional<std::string> authorizationValue(const std::optional<std::string>& token);

    // Whether the snapshot works offline: the setting when given, else the network monitor's answer.
    bool isOffline() const;

    // --- Requests and file metadata

    struct Sibling {
        std::string rfilename;
        void encode(foundation::JSONWriter& writer) const;
        static Sibling decode(const foundation::JSONValue& json);
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
        void encode(foundation::JSONWriter& writer) const;
        // Strict: throws foundation::DecodingError for a body without the two keys.
        static SiblingsResponse decode(const foundation::JSONValue& json);
    };
    // The storage-protocol data of a file.
    struct QolFileData {
        std::string fileHash;
        std::string refreshRoute;
        friend bool operator==(const QolFileData&, const QolFileData&) = default;
    };
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag;  // without a weak prefix or quotes
        std::string location;
        std::optional<int64_t> size;
        std::optional<QolFileData> qolFileData;
    };

    // Authorised GET: the body and the response for a 2xx status. 401/403: authorizationRequired; 404:
    // fileNotFound (last path component); other statuses: httpStatusCode; transfer failures: downloadError.
    std::pair<std::string, HTTPURLResponse> httpGet(const std::string& url, std::stop_token stop = {}) const;
    // Authorised HEAD that follows relative redirects only (still as HEAD); a 3xx that was not followed is
    // the answer. Status errors as for GET; transfer failures are the URL error, unchanged.
    HTTPURLResponse httpHead(const std::string& url, std::stop_token stop = {}) const;

    // The repository's file paths at the revision; with patterns, those matching any of them (fnmatch, no
    // flags: "*" also matches "/"), each once, in listing order.
    std::vector<std::string> getFilenames(const Hub::Repo& repo, const std::string& revision = "main",
                                          const std::vector<std::string>& globs = {}, std::stop_token stop = {}) const;
    // A model repository at "main".
    std::vector<std::string> getFilenames(const std::string& repoId, const std::vector<std::string>& globs = {},
                                          std::stop_token stop = {}) const;
    // One pattern, at "main"; a plain id names a model repository.
    std::vector<std::string> getFilenamesMatching(const Hub::Repo& repo, const std::string& glob,
                                                  std::stop_token stop = {}) const;
    std::vector<std::string> getFilenamesMatching(const std::string& repoId, const std::string& glob,
                                                  std::stop_token stop = {}) const;

    FileMetadata getFileMetadata(const std::string& url, std::stop_token stop = {}) const;
    // The metadata of every listed file, in listing order; the first failure ends it.
    std::vector<FileMetadata> getFileMetadata(const Hub::Repo& repo, const std::string& revision = "main",
                                              const std::vector<std::string>& globs = {},
                                              std::stop_token stop = {}) const;
    // A model repository named by its id.
    std::vector<FileMetadata> getFileMetadataFrom(const std::string& repoId, const std::string& revision = "main",
                                                  const std::vector<std::string>& globs = {},
                                                  std::stop_token stop = {}) const;
    // One pattern.
    std::vector<FileMetadata> getFileMetadataMatching(const Hub::Repo& repo, const std::string& revision,
                                                      const std::string& glob, std::stop_token stop = {}) const;
    std::vector<FileMetadata> getFileMetadataMatching(const std::string& repoId, const std::string& revision,
                                                      const std::string& glob, std::stop_token stop = {}) const;

    // The account the token belongs to.
    Config whoami(std::stop_token stop = {}) const;
    // A JSON file read into a Config.
    Config configuration(const std::filesystem::path& fileURL) const;
    Config configuration(const std::string& fileName, const Hub::Repo& repo) const;

    // Request URLs.
    std::string listingURL(const Hub::Repo& repo, const std::string& revision) const;
    std::string resolveURL(const Hub::Repo& repo, const std::string& revision, const std::string& path) const;
    static std::string resolveURL(const std::string& endpoint, const Hub::Repo& repo, const std::string& revision,
                                  const std::string& path);

    // The relation's target in a "Link" header field.
    static std::optional<std::string> getLinkURL(const HTTPURLResponse& response, std::string_view relation);
    static std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);
    static std::optional<QolFileData> parseQolFileDataFromResponse(const HTTPURLResponse* response,
                                                                   const std::optional<std::string>& endpoint);

    // --- Snapshot

    using ProgressHandler = std::function<void(const foundation::Progress&)>;
    using ProgressSpeedHandler = std::function<void(const foundation::Progress&, std::optional<double> speed)>;

    // Makes the matching files of the revision available in the local cache and returns the repository
    // folder. Offline, checks the cached files instead (metadata present, digests matching). A stop
    // request between files ends it early without an error.
    std::filesystem::path snapshot(const Hub::Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {}, const ProgressHandler& handler = {},
                                   std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const Hub::Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& globs, const ProgressSpeedHandler& handler,
                                   std::stop_token stop = {}) const;
    // A model repository.
    std::filesystem::path snapshot(const std::string& repoId, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {}, const ProgressHandler& handler = {},
                                   std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const std::string& repoId, const std::string& revision,
                                   const std::vector<std::string>& globs, const ProgressSpeedHandler& handler,
                                   std::stop_token stop = {}) const;

    // downloadBase/<type>/<id>. Throws EnvironmentError.invalidMetadataError for an id that would leave the
    // download base (absolute, "..", empty or "." segments, NUL).
    std::filesystem::path localRepoLocation(const Hub::Repo& repo) const;

    // --- Cache and metadata files

    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;
        foundation::Date timestamp;
    };

    // Nothing when there is no metadata file, or when it was unusable and has been removed.
    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const std::filesystem::path& metadataPath) const;
    // Three lines (commit, etag, seconds since 1970), written atomically.
    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const std::filesystem::path& metadataPath) const;
    static bool isValidHash(std::string_view hash, std::string_view pattern);
    // SHA-256 of the file in lowercase hex, read in 1 MiB pieces.
    static std::string computeFileHash(const std::filesystem::path& file);

    class HubFileDownloader;

private:
    std::shared_ptr<NetworkMonitor> networkMonitor_;

    template <class Handler>
    std::filesystem::path snapshotImpl(const Hub::Repo& repo, const std::string& revision,
                                       const std::vector<std::string>& globs, const Handler& report,
                                       std::stop_token stop) const;
    void checkOfflineCache(const std::filesystem::path& repoDestination,
                           const std::filesystem::path& repoMetadataDestination) const;
};

// A name from outside (a listed file, a repository id) that stays inside the folder it is meant for:
// relative, no "..", "." or empty segments, no NUL.
bool isSafeRepositoryPath(std::string_view path);

// One file of one repository revision, brought into the local cache or found current there.
class HubApi::HubFileDownloader {
public:
    HubApi hub;
    Hub::Repo repo;
    std::string revision;
    std::filesystem::path repoDestination;
    std::filesystem::path repoMetadataDestination;
    std::string relativeFilename;
    std::optional<std::string> bmToken;
    std::optional<std::string> endpoint;  // absent: the default endpoint
    bool backgroundSession = false;

    // The file's resolve URL.
    std::string source() const;
    std::filesystem::path destination() const;
    std::filesystem::path metadataPath() const;
    // Whether a file exists at the destination.
    bool downloaded() const;
    // Creates the partial file's folder and, when there is none, an empty partial file.
    void prepareCacheDestination(const std::filesystem::path& incompletePath) const;

    // Returns the destination once the file there is current: reused by commit, by etag (either only when
    // its size is the one the hub reports) or by content, or downloaded (resuming a partial file of the
    // same etag; with a SHA-256 etag the bytes must match it). `progress` receives the fraction done and the
    // speed. When `stop` fires during the transfer, it returns the destination without writing metadata.
    std::filesystem::path download(const std::function<void(double, std::optional<double>)>& progress = {},
                                   std::stop_token stop = {}) const;

private:
    std::filesystem::path fetch(const std::function<void(double, std::optional<double>)>& progress,
                                std::stop_token stop) const;
};

namespace Hub {

// The client's convenience functions, each on a copy of HubApi::shared() at revision "main". A plain id
// names a model repository; the ...Matching forms take one pattern.
std::vector<std::string> getFilenames(const Repo& repo, const std::vector<std::string>& globs = {});
std::vector<std::string> getFilenames(const std::string& repoId, const std::vector<std::string>& globs = {});
std::vector<std::string> getFilenamesMatching(const Repo& repo, const std::string& glob);
std::vector<std::string> getFilenamesMatching(const std::string& repoId, const std::string& glob);
std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs = {},
                               const HubApi::ProgressHandler& handler = {});
std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs,
                               const HubApi::ProgressSpeedHandler& handler);
std::filesystem::path snapshot(const std::string& repoId, const std::vector<std::string>& globs = {},
                               const HubApi::ProgressHandler& handler = {});
std::filesystem::path snapshot(const std::string& repoId, const std::vector<std::string>& globs,
                               const HubApi::ProgressSpeedHandler& handler);
std::filesystem::path snapshotMatching(const Repo& repo, const std::string& glob,
                                       const HubApi::ProgressHandler& handler = {});
std::filesystem::path snapshotMatching(const Repo& repo, const std::string& glob,
                                       const HubApi::ProgressSpeedHandler& handler);
std::filesystem::path snapshotMatching(const std::string& repoId, const std::string& glob,
                                       const HubApi::ProgressHandler& handler = {});
std::filesystem::path snapshotMatching(const std::string& repoId, const std::string& glob,
                                       const HubApi::ProgressSpeedHandler& handler);
std::vector<HubApi::FileMetadata> getFileMetadata(const Repo& repo, const std::vector<std::string>& globs = {});
std::vector<HubApi::FileMetadata> getFileMetadata(const std::string& repoId, const std::vector<std::string>& globs = {});
std::vector<HubApi::FileMetadata> getFileMetadataMatching(const Repo& repo, const std::string& glob);
std::vector<HubApi::FileMetadata> getFileMetadataMatching(const std::string& repoId, const std::string& glob);
HubApi::FileMetadata getFileMetadataFileURL(const std::string& fileURL);
// On a new client holding that token (every other setting at its default), not the shared one.
Config whoami(const std::string& token);

}  // namespace Hub

}  // namespace hub
