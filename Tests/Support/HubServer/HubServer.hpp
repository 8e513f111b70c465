#pragma once
// A stand-in for the model-hosting service on the loopback interface, for end-to-end tests.
//
//   hubtest::TemporaryFolder repos;
//   repos.write("owner/model/config.json", "{}");              // a model repository "owner/model"
//   hubtest::HubServer server({.root = repos.path()});        // listening at once on 127.0.0.1
//   HubApi api({.endpoint = server.baseURL(), ...});          // point the client at it
//   server.addFault({.kind = Fault::Kind::dropAfterBytes, .bytes = 1000, .times = 1});
//
// It serves a folder of repositories: `root/<id>/...` for models, `root/datasets/<id>/...` and
// `root/spaces/<id>/...` for the other kinds, every revision with the same content, with the service's
// interface:
//   GET  /api/{models|datasets|spaces}/<id>/revision/<rev>   {"id", "sha", "siblings": [{"rfilename"}]}
//   HEAD/GET [/datasets|/spaces]/<id>/resolve/<rev>/<path>     the file, honouring "Range"
// Every answer about a file carries "X-Repo-Commit" and a quoted "ETag". Files of at least
// `linkedThreshold` bytes are stored files: their answers also carry "X-Linked-Etag" (the SHA-256 of the
// bytes), "X-Linked-Size", "x-qol-hash" and "X-Qol-Refresh-Route", and `setRedirect` decides whether the
// resolve URL serves them itself, redirects to the storage port (absolute "Location") or to another path of
// the same port (relative "Location"). Small files have a 40-digit etag, like the service's.
//
// The server is bounded: after `maximumRequests` requests it answers 503, and after `lifetime` it stops by
// itself, so a hung test cannot keep it alive. The destructor stops it; everything is torn down there.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hubtest {

using Headers = std::vector<std::pair<std::string, std::string>>;

class HubServer {
public:
    struct Options {
        std::filesystem::path root = {};
        // When set, every request must carry "Authorization: Bearer <token>": 401 without one, 403 with another.
        std::optional<std::string> requiredToken = std::nullopt;
        uint64_t linkedThreshold = 1u << 20;
        std::chrono::seconds lifetime{120};
        size_t maximumRequests = 100000;
    };

    enum class Redirect { none, absolute, relative };

    struct Fault {
        enum class Kind {
            dropAfterBytes,       // send `bytes` of the body, then close the connection
            stall,                // send `bytes` of the body, then send nothing until the client gives up
            ignoreRange,          // answer a "Range" request with 200 and the whole body
            rangeNotSatisfiable,  // answer a "Range" request with 416 and "Content-Range: bytes */<size>"
            status,               // answer with `status` (401, 403, 404, 500, ...) and no body
            corrupt,              // send the body with every bit of the file's byte at offset `bytes` flipped
            htmlPage,             // answer with 200 and a small HTML page ("text/html")
            redirect,             // answer with 302 and "Location: <location>"
        };
        Kind kind = Kind::status;
        uint64_t bytes = 0;
        int status = 500;
        std::string pathContains = {};  // applies to requests whose decoded path contains this; empty: to all
        int times = -1;            // how many requests it hits; -1: every one
        std::string location = {};  // of `redirect`
    };

    struct Request {
        int port = 0;
        std::string method;
        std::string target;  // as sent, percent-encoding kept
        std::string path;    // decoded
        std::optional<std::string> authorization;
        std::optional<std::string> range;
        int status = 0;
        uint64_t bodyBytes = 0;  // body bytes sent in the answer
    };

    explicit HubServer(Options options);
    ~HubServer();
    HubServer(const HubServer&) = delete;
    HubServer& operator=(const HubServer&) = delete;

    // "http://127.0.0.1:<port>": the endpoint to give the client.
    const std::string& baseURL() const;
    // The second port, where absolute redirects send stored files.
    const std::string& storageURL() const;

    void setRedirect(Redirect redirect);
    // Faults are tried in the order added; the first that applies (and has hits left) is used.
    void addFault(Fault fault);
    void clearFaults();
    // Every etag (and the commit) changes, as after a new upload of the same files.
    void changeEtags();
    // The commit every answer reports; nothing restores the one derived from the files and etags.
    void setCommit(std::optional<std::string> commit);
    // The listing answers with exactly this body (status 200) instead of the real one; nothing restores it.
    void setListingBody(std::optional<std::string> body);
    // Extra header fields on every answer about files whose path contains `pathContains`; a field replaces
    // one of the same name. Later calls add to earlier ones.
    void setResponseHeaders(std::string pathContains, Headers headers);

    std::vector<Request> requests() const;
    void clearRequests();
    // Body bytes sent by both ports since the start (or the last clearRequests).
    uint64_t bodyBytesSent() const;

    // The etags the server reports for a file: the "ETag" value (unquoted) and, for stored files, the SHA-256.
    std::string etag(const std::string& repoPath, const std::string& file) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` at `relative`, creating the folders on the way; returns the file's path.
    std::filesystem::path write(const std::filesystem::path& relative, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

// The size of a file, 0 when there is none.
uint64_t fileSize(const std::filesystem::path& file);

// `size` bytes of a fixed pseudo-random pattern (the same for the same seed), for test files.
std::string patternBytes(size_t size, uint32_t seed = 1);

}  // namespace hubtest
