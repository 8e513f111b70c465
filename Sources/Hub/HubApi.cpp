#include "Hub/HubApi.hpp"

#include <fnmatch.h>

#include <charconv>
#include <iostream>
#include <unordered_set>

#include "Hub/YYJSONParser.hpp"
#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Platform/Foundation/URL.hpp"

namespace hub {

namespace fs = std::filesystem;
using foundation::DecodingError;
using foundation::URLError;
using Hub::HubClientError;

namespace {

std::string withoutTrailingLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// A token source's value: its text without a trailing line end, nothing when that leaves nothing.
std::optional<std::string> usableToken(std::optional<std::string> value) {
    if (!value) return std::nullopt;
    std::string token = withoutTrailingLineEnds(std::move(*value));
    if (token.empty()) return std::nullopt;
    return token;
}

std::optional<std::string> tokenFile(const fs::path& file) {
    auto text = foundation::readFileIfPresent(file);
    if (!text || !foundation::text::isValidUTF8(*text)) return std::nullopt;
    return text;
}

// The first non-empty token of: BM_TOKEN, BRINDLEMOOR_HUB_TOKEN, the file BM_TOKEN_PATH names, the file
// "token" in BM_HOME, ~/.cache/brindlemoor/token, ~/.brindlemoor/token.
std::optional<std::string> bmTokenFromEnv() {
    using foundation::environmentValue;
    for (const char* name : {"BM_TOKEN", "BRINDLEMOOR_HUB_TOKEN"})
        if (auto token = usableToken(environmentValue(name))) return token;
    try {
        if (auto path = environmentValue("BM_TOKEN_PATH"))
            if (auto token = usableToken(tokenFile(foundation::expandingTilde(*path)))) return token;
        if (auto home = environmentValue("BM_HOME"))
            if (auto token = usableToken(tokenFile(fs::path(foundation::expandingTilde(*home)) / "token"))) return token;
        const fs::path home = foundation::homeDirectory();
        for (const char* file : {".cache/brindlemoor/token", ".brindlemoor/token"})
            if (auto token = usableToken(tokenFile(home / file))) return token;
    } catch (const foundation::FileError&) {
        // No home folder: the sources below it yield nothing.
    }
    return std::nullopt;
}

std::string bmEndpointFromEnv() {
    if (auto endpoint = foundation::environmentValue("BM_ENDPOINT")) return *endpoint;
    return std::string(HubApi::defaultEndpoint);
}

fs::path defaultDownloadBase() {
    try {
        return foundation::homeDirectory() / "Documents" / "brindlemoor";
    } catch (const foundation::FileError&) {
        return fs::temp_directory_path() / "brindlemoor";
    }
}

std::string appended(const std::string& url, std::string_view part, bool asOneSegment) {
    auto result = foundation::appendingPathComponents(url, part, asOneSegment);
    if (!result) throw URLError(URLError::Code::badURL, url);
    return *result;
}

// The HEAD session follows a redirect only when its "Location" names a path on the same server, and
// keeps the method, so reading a file's metadata never downloads the file.
std::optional<URLRequest> relativeRedirect(const HTTPURLResponse& redirect, const URLRequest& original) {
    if (redirect.statusCode < 300 || redirect.statusCode > 399) return std::nullopt;
    auto location = redirect.value("Location");
    // An empty "Location" points back at the same URL: following it would only go round.
    if (!location || location->empty()) return std::nullopt;
    auto reference = foundation::URLComponents::parse(*location);
    if (!reference || reference->host || !reference->scheme.empty()) return std::nullopt;
    auto target = foundation::resolvingURL(*location, original.url);
    if (!target || *target == redirect.url) return std::nullopt;
    URLRequest next(*target);
    next.httpMethod = original.httpMethod;
    next.allHTTPHeaderFields = original.allHTTPHeaderFields;
    next.setValue(*target, "Location");
    next.timeoutInterval = 60;
    return next;
}

std::shared_ptr<URLSession> redirectSession() {
    static const auto session = std::make_shared<URLSession>(URLSession::Configuration{.redirectPolicy = relativeRedirect});
    return session;
}

void checkStatus(const HTTPURLResponse& response, const std::string& url, int highestSuccess) {
    const int status = response.statusCode;
    if (status >= 200 && status <= highestSuccess) return;
    if (status == 401 || status == 403) throw HubClientError::authorizationRequired();
    if (status == 404) throw HubClientError::fileNotFound(foundation::lastPathComponent(url));
    throw HubClientError::httpStatusCode(status);
}

// An optional sign and decimal digits only, within 64 bits; a negative size is no size.
std::optional<int64_t> parseSize(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    std::string_view digits = *text;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    int64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (negative && value != 0) return std::nullopt;
    return value;
}

std::string trimmingSlashes(std::string_view text) {
    while (!text.empty() && text.front() == '/') text.remove_prefix(1);
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return std::string(text);
}

}  // namespace

// --- EnvironmentError

HubApi::EnvironmentError::EnvironmentError(Case errorCase, std::string message)
    : case_(errorCase), message_(std::move(message)) {
    setWhat(describe());
}

std::string HubApi::EnvironmentError::localizedDescription() const {
    switch (case_) {
        case Case::invalidMetadataError: return "Invalid metadata: " + message_;
        case Case::offlineModeError: return "Offline mode error: " + message_;
        case Case::fileIntegrityError: return "File integrity check failed: " + message_;
        case Case::fileWriteError: return "Failed to write file: " + message_;
    }
    return message_;
}

std::string HubApi::EnvironmentError::describe() const {
    static constexpr const char* names[] = {"invalidMetadataError", "offlineModeError", "fileIntegrityError",
                                            "fileWriteError"};
    return foundation::describeCase(names[static_cast<int>(case_)], message_);
}

// --- Settings

HubApi::HubApi() : HubApi(Params{}) {}

HubApi::HubApi(Params params) {
    networkMonitor_ = params.networkMonitor ? std::move(params.networkMonitor) : NetworkMonitor::shared();
    bmToken = params.bmToken ? std::move(params.bmToken) : bmTokenFromEnv();
    if (foundation::environmentValue("CI_DISABLE_NETWORK_MONITOR") == "1")
        std::cout << (bmToken ? "✅ got token" : "🔴 NO TOKEN **") << std::endl;
    downloadBase = params.downloadBase ? std::move(*params.downloadBase) : defaultDownloadBase();
    endpoint = params.endpoint ? std::move(*params.endpoint) : bmEndpointFromEnv();
    useBackgroundSession = params.useBackgroundSession;
    useOfflineMode = params.useOfflineMode;
}

HubApi HubApi::shared() {
    static const HubApi client;
    return client;
}

std::optional<std::string> HubApi::authorizationValue(const std::optional<std::string>& token) {
    if (!token) return std::nullopt;
    std::string text = withoutTrailingLineEnds(*token);
    if (text.empty()) return std::nullopt;
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw HubClientError::authorizationRequired();
    return "Bearer " + text;
}

bool HubApi::isOffline() const {
    if (useOfflineMode) return *useOfflineMode;
    return networkMonitor_->state().shouldUseOfflineMode();
}

// --- Request URLs

std::string HubApi::listingURL(const Hub::Repo& repo, const std::string& revision) const {
    std::string url = appended(endpoint, "api", false);
    url = appended(url, Hub::rawValue(repo.type), false);
    url = appended(url, repo.id, false);
    url = appended(url, "revision", false);
    return appended(url, revision, true);
}

std::string HubApi::resolveURL(const Hub::Repo& repo, const std::string& revision, const std::string& path) const {
    return resolveURL(endpoint, repo, revision, path);
}

std::string HubApi::resolveURL(const std::string& endpoint, const Hub::Repo& repo, const std::string& revision,
                               const std::string& path) {
    std::string url = endpoint;
    if (repo.type != Hub::RepoType::models) url = appended(url, Hub::rawValue(repo.type), false);
    url = appended(url, repo.id, false);
    url = appended(url, "resolve", false);
    url = appended(url, revision, true);
    return appended(url, path, false);
}

// --- Requests

std::pair<std::string, HTTPURLResponse> HubApi::httpGet(const std::string& url, std::stop_token stop) const {
    try {
        URLRequest request(url);
        request.timeoutInterval = 60;
        if (auto authorization = authorizationValue(bmToken)) request.setValue(*authorization, "Authorization");
        auto result = URLSession::shared()->data(request, stop);
        checkStatus(result.second, url, 299);
        return result;
    } catch (const HubClientError&) {
        throw;
    } catch (const foundation::Error& error) {
        throw HubClientError::downloadError(error.localizedDescription());
    } catch (const std::exception& error) {
        throw HubClientError::downloadError(error.what());
    }
}

HTTPURLResponse HubApi::httpHead(const std::string& url, std::stop_token stop) const {
    URLRequest request(url);
    request.timeoutInterval = 60;
    if (auto authorization = authorizationValue(bmToken)) request.setValue(*authorization, "Authorization");
    request.httpMethod = "HEAD";
    request.setValue("identity", "Accept-Encoding");
    HTTPURLResponse response = redirectSession()->data(request, stop).second;
    checkStatus(response, url, 399);
    return response;
}

std::vector<std::string> HubApi::getFilenames(const Hub::Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs, std::stop_token stop) const {
    auto [body, response] = httpGet(listingURL(repo, revision), stop);
    SiblingsResponse listing;
    try {
        listing = SiblingsResponse::decode(foundation::JSONDocument::parse(body).root());
    } catch (const foundation::JSONError& error) {
        throw DecodingError(DecodingError::Case::dataCorrupted, "The given data was not valid JSON. " + error.localizedDescription());
    }
    std::vector<std::string> names;
    names.reserve(listing.siblings.size());
    for (Sibling& sibling : listing.siblings) names.push_back(std::move(sibling.rfilename));
    if (globs.empty()) return names;

    std::vector<std::string> matching;
    std::unordered_set<std::string> kept;
    for (std::string& name : names) {
        for (const std::string& glob : globs) {
            if (::fnmatch(glob.c_str(), name.c_str(), 0) != 0) continue;
            if (kept.insert(name).second) matching.push_back(name);
            break;
        }
    }
    return matching;
}

std::vector<std::string> HubApi::getFilenames(const std::string& repoId, const std::vector<std::string>& globs,
                                              std::stop_token stop) const {
    return getFilenames(Hub::Repo{repoId, Hub::RepoType::models}, "main", globs, stop);
}

std::vector<std::string> HubApi::getFilenamesMatching(const Hub::Repo& repo, const std::string& glob,
                                                      std::stop_token stop) const {
    return getFilenames(repo, "main", {glob}, stop);
}

std::vector<std::string> HubApi::getFilenamesMatching(const std::string& repoId, const std::string& glob,
                                                      std::stop_token stop) const {
    return getFilenames(Hub::Repo{repoId, Hub::RepoType::models}, "main", {glob}, stop);
}

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url, std::stop_token stop) const {
    HTTPURLResponse response = httpHead(url, stop);
    FileMetadata metadata;
    std::optional<std::string> location =
        response.statusCode == 302 ? response.value("Location") : std::optional<std::string>(response.url);
    metadata.location = location && !location->empty() ? *location : url;
    metadata.commitHash = response.value("X-Repo-Commit");
    auto etag = response.value("X-Linked-Etag");
    metadata.etag = normalizeEtag(etag ? etag : response.value("Etag"));
    auto size = response.value("X-Linked-Size");
    metadata.size = parseSize(size ? size : response.value("Content-Length"));
    metadata.qolFileData = parseQolFileDataFromResponse(&response, endpoint);
    return metadata;
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadata(const Hub::Repo& repo, const std::string& revision,
                                                          const std::vector<std::string>& globs,
                                                          std::stop_token stop) const {
    std::vector<FileMetadata> result;
    for (const std::string& name : getFilenames(repo, revision, globs, stop))
        result.push_back(getFileMetadata(resolveURL(repo, revision, name), stop));
    return result;
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadataFrom(const std::string& repoId, const std::string& revision,
                                                              const std::vector<std::string>& globs,
                                                              std::stop_token stop) const {
    return getFileMetadata(Hub::Repo{repoId, Hub::RepoType::models}, revision, globs, stop);
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadataMatching(const Hub::Repo& repo, const std::string& revision,
                                                                  const std::string& glob, std::stop_token stop) const {
    return getFileMetadata(repo, revision, {glob}, stop);
}

std::vector<HubApi::FileMetadata> HubApi::getFileMetadataMatching(const std::string& repoId,
                                                                  const std::string& revision, const std::string& glob,
                                                                  std::stop_token stop) const {
    return getFileMetadataFrom(repoId, revision, {glob}, stop);
}

Config HubApi::whoami(std::stop_token stop) const {
    if (!bmToken) throw HubClientError::authorizationRequired();
    auto [body, response] = httpGet(appended(appended(endpoint, "api", false), "whoami-v2", false), stop);
    foundation::JSONDocument document = foundation::JSONDocument::parse(body);
    if (!document.root().isObject()) throw HubClientError::parse();
    return Config::convertToBinaryDistinctKeys(document.root());
}

Config HubApi::configuration(const fs::path& fileURL) const {
    const std::string data = foundation::readFile(fileURL);
    try {
        return YYJSONParser::parseToConfig(data);
    } catch (const YYJSONParser::ParseError& error) {
        throw HubClientError::jsonParsingFailed(fileURL, error);
    }
}

Config HubApi::configuration(const std::string& fileName, const Hub::Repo& repo) const {
    return configuration(localRepoLocation(repo) / fileName);
}

std::optional<std::string> HubApi::getLinkURL(const HTTPURLResponse& response, std::string_view relation) {
    auto header = response.value("Link");
    if (!header) return std::nullopt;
    const std::string quoted = "rel=\"" + std::string(relation) + "\"";
    const std::string bare = "rel=" + std::string(relation);
    for (const std::string& rawPiece : foundation::text::split(*header, ",")) {
        std::string_view piece = rawPiece;
        while (!piece.empty() && (piece.front() == ' ' || piece.front() == '\t')) piece.remove_prefix(1);
        while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.remove_suffix(1);
        if (piece.empty()) continue;
        if (piece.find(quoted) == piece.npos && piece.find(bare) == piece.npos) continue;
        size_t open = piece.find('<');
        size_t close = piece.find('>');
        if (open != piece.npos && close != piece.npos && open < close)
            return std::string(piece.substr(open + 1, close - open - 1));
    }
    return std::nullopt;
}

std::optional<std::string> HubApi::normalizeEtag(const std::optional<std::string>& etag) {
    if (!etag) return std::nullopt;
    std::string_view text = *etag;
    if (text.substr(0, 2) == "W/") text.remove_prefix(2);
    while (!text.empty() && text.front() == '"') text.remove_prefix(1);
    while (!text.empty() && text.back() == '"') text.remove_suffix(1);
    return std::string(text);
}

std::optional<HubApi::QolFileData> HubApi::parseQolFileDataFromResponse(const HTTPURLResponse* response,
                                                                       const std::optional<std::string>& endpoint) {
    if (!response) return std::nullopt;
    auto fileHash = response->value("x-qol-hash");
    if (!fileHash) return std::nullopt;
    auto route = getLinkURL(*response, "qol-auth");
    if (!route) route = response->value("X-Qol-Refresh-Route");
    if (!route) return std::nullopt;
    if (route->rfind(defaultEndpoint, 0) == 0)
        route = foundation::text::replacingAll(*route, trimmingSlashes(defaultEndpoint),
                                               trimmingSlashes(endpoint ? *endpoint : defaultEndpoint));
    return QolFileData{*fileHash, *route};
}

// --- Listing bodies

void HubApi::Sibling::encode(foundation::JSONWriter& writer) const {
    writer.beginObject().field("rfilename", rfilename).endObject();
}

HubApi::Sibling HubApi::Sibling::decode(const foundation::JSONValue& json) {
    if (!json.isObject())
        throw DecodingError(DecodingError::Case::typeMismatch, "Expected to decode Dictionary but found another kind.");
    foundation::JSONValue name = json.member("rfilename");
    if (!name.exists())
        throw DecodingError(DecodingError::Case::keyNotFound, "No value associated with key \"rfilename\".");
    if (!name.isString())
        throw DecodingError(DecodingError::Case::typeMismatch, {"rfilename"},
                            "Expected to decode String but found another kind.");
    return Sibling{name.asString()};
}

void HubApi::SiblingsResponse::encode(foundation::JSONWriter& writer) const {
    writer.beginObject().key("siblings").beginArray();
    for (const Sibling& sibling : siblings) sibling.encode(writer);
    writer.endArray().endObject();
}

HubApi::SiblingsResponse HubApi::SiblingsResponse::decode(const foundation::JSONValue& json) {
    if (!json.isObject())
        throw DecodingError(DecodingError::Case::typeMismatch, "Expected to decode Dictionary but found another kind.");
    foundation::JSONValue list = json.member("siblings");
    if (!list.exists())
        throw DecodingError(DecodingError::Case::keyNotFound, "No value associated with key \"siblings\".");
    if (!list.isArray())
        throw DecodingError(DecodingError::Case::typeMismatch, {"siblings"},
                            "Expected to decode Array but found another kind.");
    SiblingsResponse response;
    for (const foundation::JSONValue& item : list.items()) response.siblings.push_back(Sibling::decode(item));
    return response;
}

// --- Convenience functions

namespace Hub {

std::vector<std::string> getFilenames(const Repo& repo, const std::vector<std::string>& globs) {
    return HubApi::shared().getFilenames(repo, "main", globs);
}

std::vector<std::string> getFilenames(const std::string& repoId, const std::vector<std::string>& globs) {
    return HubApi::shared().getFilenames(repoId, globs);
}

std::vector<std::string> getFilenamesMatching(const Repo& repo, const std::string& glob) {
    return HubApi::shared().getFilenamesMatching(repo, glob);
}

std::vector<std::string> getFilenamesMatching(const std::string& repoId, const std::string& glob) {
    return HubApi::shared().getFilenamesMatching(repoId, glob);
}

std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs,
                               const HubApi::ProgressHandler& handler) {
    return HubApi::shared().snapshot(repo, "main", globs, handler);
}

std::filesystem::path snapshot(const Repo& repo, const std::vector<std::string>& globs,
                               const HubApi::ProgressSpeedHandler& handler) {
    return HubApi::shared().snapshot(repo, "main", globs, handler);
}

std::filesystem::path snapshot(const std::string& repoId, const std::vector<std::string>& globs,
                               const HubApi::ProgressHandler& handler) {
    return HubApi::shared().snapshot(repoId, "main", globs, handler);
}

std::filesystem::path snapshot(const std::string& repoId, const std::vector<std::string>& globs,
                               const HubApi::ProgressSpeedHandler& handler) {
    return HubApi::shared().snapshot(repoId, "main", globs, handler);
}

std::filesystem::path snapshotMatching(const Repo& repo, const std::string& glob,
                                       const HubApi::ProgressHandler& handler) {
    return HubApi::shared().snapshot(repo, "main", {glob}, handler);
}

std::filesystem::path snapshotMatching(const Repo& repo, const std::string& glob,
                                       const HubApi::ProgressSpeedHandler& handler) {
    return HubApi::shared().snapshot(repo, "main", {glob}, handler);
}

std::filesystem::path snapshotMatching(const std::string& repoId, const std::string& glob,
                                       const HubApi::ProgressHandler& handler) {
    return HubApi::shared().snapshot(repoId, "main", {glob}, handler);
}

std::filesystem::path snapshotMatching(const std::string& repoId, const std::string& glob,
                                       const HubApi::ProgressSpeedHandler& handler) {
    return HubApi::shared().snapshot(repoId, "main", {glob}, handler);
}

std::vector<HubApi::FileMetadata> getFileMetadata(const Repo& repo, const std::vector<std::string>& globs) {
    return HubApi::shared().getFileMetadata(repo, "main", globs);
}

std::vector<HubApi::FileMetadata> getFileMetadata(const std::string& repoId, const std::vector<std::string>& globs) {
    return HubApi::shared().getFileMetadataFrom(repoId, "main", globs);
}

std::vector<HubApi::FileMetadata> getFileMetadataMatching(const Repo& repo, const std::string& glob) {
    return HubApi::shared().getFileMetadataMatching(repo, "main", glob);
}

std::vector<HubApi::FileMetadata> getFileMetadataMatching(const std::string& repoId, const std::string& glob) {
    return HubApi::shared().getFileMetadataMatching(repoId, "main", glob);
}

HubApi::FileMetadata getFileMetadataFileURL(const std::string& fileURL) {
    return HubApi::shared().getFileMetadata(fileURL);
}

Config whoami(const std::string& token) { return HubApi(HubApi::Params{.bmToken = token}).whoami(); }

}  // namespace Hub

}  // namespace hub
