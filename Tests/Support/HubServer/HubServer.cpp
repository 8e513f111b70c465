#include "HubServer/HubServer.hpp"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Platform/Foundation/URL.hpp"

namespace hubtest {

namespace {

namespace fs = std::filesystem;

std::string hex(const unsigned char* bytes, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Digest of `prefix` followed by the file's bytes.
std::string digestFile(const EVP_MD* type, const std::string& prefix, const fs::path& file) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), type, nullptr);
    EVP_DigestUpdate(context.get(), prefix.data(), prefix.size());
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0) EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return hex(digest, length);
}

std::string digestText(const EVP_MD* type, const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, type, nullptr);
    return hex(digest, length);
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string joined(const std::vector<std::string>& parts, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) out += '/';
        out += parts[i];
    }
    return out;
}

// A file's place in the served tree, parsed from "[datasets|spaces/]<id>/resolve/<rev>/<path>".
struct FileAddress {
    std::string type = "models";
    std::string id;
    std::string revision;
    std::string path;
    std::string encodedRevision;
};

std::optional<FileAddress> parseResolve(const std::vector<std::string>& segments,
                                        const std::vector<std::string>& raw, size_t from) {
    FileAddress address;
    if (from < segments.size() && (segments[from] == "datasets" || segments[from] == "spaces")) {
        address.type = segments[from];
        ++from;
    }
    auto resolve = std::find(segments.begin() + static_cast<std::ptrdiff_t>(from), segments.end(), "resolve");
    size_t at = static_cast<size_t>(resolve - segments.begin());
    if (resolve == segments.end() || at == from || at + 2 >= segments.size()) return std::nullopt;
    address.id = joined(segments, from, at);
    address.revision = segments[at + 1];
    address.encodedRevision = raw[at + 1];
    address.path = joined(segments, at + 2, segments.size());
    return address;
}

// Faults that replace the whole answer, decided before the request is served.
bool isAnswer(const HubServer::Fault& fault) {
    using Kind = HubServer::Fault::Kind;
    return fault.kind == Kind::status || fault.kind == Kind::htmlPage || fault.kind == Kind::redirect;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool isSafe(const std::string& relative) {
    if (relative.empty() || relative.front() == '/') return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return relative.find('\0') == std::string::npos;
}

struct Digests {
    uint64_t size = 0;
    fs::file_time_type modified;
    std::string blob;    // git-style SHA-1 of the bytes
    std::string sha256;
};

}  // namespace

struct HubServer::Impl {
    Options options;
    httplib::Server main;
    httplib::Server storage;
    std::thread mainThread;
    std::thread storageThread;
    std::thread watchdog;
    std::string baseURL;
    std::string storageURL;
    int mainPort = 0;
    int storagePort = 0;

    std::atomic<bool> stopping{false};
    std::mutex stopMutex;
    std::condition_variable stopCondition;

    mutable std::mutex mutex;
    Redirect redirect = Redirect::none;
    std::vector<Fault> faults;
    int generation = 0;
    std::optional<std::string> commitOverride;
    std::optional<std::string> listingOverride;
    std::vector<std::pair<std::string, Headers>> headerOverrides;
    std::vector<Request> log;
    size_t logStart = 0;  // the number of the first request in `log`
    size_t requestCount = 0;
    uint64_t bodyBytes = 0;
    mutable std::map<std::string, Digests> digestCache;

    fs::path repositoryFolder(const std::string& type, const std::string& id) const {
        return type == "models" ? options.root / id : options.root / type / id;
    }

    // Called with `mutex` held.
    const Digests& digests(const fs::path& file) const {
        const uint64_t size = fs::file_size(file);
        const auto modified = fs::last_write_time(file);
        Digests& entry = digestCache[file.string()];
        if (entry.blob.empty() || entry.size != size || entry.modified != modified) {
            std::string header = "blob " + std::to_string(size);
            header.push_back('\0');
            entry.size = size;
            entry.modified = modified;
            entry.blob = digestFile(EVP_sha1(), header, file);
            entry.sha256 = size >= options.linkedThreshold ? digestFile(EVP_sha256(), "", file) : "";
        }
        return entry;
    }

    bool isLinked(const fs::path& file) const { return fs::file_size(file) >= options.linkedThreshold; }

    // Called with `mutex` held. The etag of a small file, and the SHA-256 etag of a stored one.
    std::pair<std::string, std::string> etags(const fs::path& file) const {
        const Digests& d = digests(file);
        if (generation == 0) return {d.blob, d.sha256};
        const std::string salt = "generation " + std::to_string(generation);
        return {digestText(EVP_sha1(), salt + d.blob), d.sha256.empty() ? "" : digestText(EVP_sha256(), salt + d.sha256)};
    }

    std::vector<std::string> files(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), folder).generic_string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Called with `mutex` held.
    std::string commit(const fs::path& folder) const {
        if (commitOverride) return *commitOverride;
        std::string text = std::to_string(generation);
        for (const std::string& name : files(folder)) text += "\n" + name + " " + etags(folder / name).first;
        return digestText(EVP_sha1(), text);
    }

    // Called with `mutex` held: the first fault that applies, its hit counted.
    std::optional<Fault> takeFault(const std::string& path, bool (*applies)(const Fault&)) {
        for (Fault& fault : faults) {
            if (fault.times == 0 || !applies(fault)) continue;
            if (!fault.pathContains.empty() && path.find(fault.pathContains) == std::string::npos) continue;
            if (fault.times > 0) --fault.times;
            return fault;
        }
        return std::nullopt;
    }

    // `index` numbers requests since the start; those from before the last clearRequests count no more.
    void record(size_t index, int status, uint64_t bytes) {
        std::lock_guard lock(mutex);
        if (index < logStart) return;
        Request& entry = log[index - logStart];
        if (status != 0) entry.status = status;
        entry.bodyBytes += bytes;
        bodyBytes += bytes;
    }

    void handle(int port, const httplib::Request& request, httplib::Response& response);
    void serveListing(const std::vector<std::string>& segments, size_t index, httplib::Response& response);
    void serveFile(int port, const FileAddress& address, const httplib::Request& request, size_t index,
                   httplib::Response& response);
    void stop();
};

void HubServer::Impl::handle(int port, const httplib::Request& request, httplib::Response& response) {
    // Ranges are answered here, never by the library on top of what this handler decided.
    const_cast<httplib::Request&>(request).ranges.clear();

    std::string target = request.target;
    if (size_t question = target.find('?'); question != std::string::npos) target.resize(question);
    std::vector<std::string> raw;
    std::vector<std::string> segments;
    for (size_t start = 1; start <= target.size();) {
        size_t end = target.find('/', start);
        if (end == std::string::npos) end = target.size();
        raw.push_back(target.substr(start, end - start));
        segments.push_back(foundation::percentDecoded(raw.back()));
        start = end + 1;
    }

    size_t index = 0;
    bool overLimit = false;
    std::optional<Fault> statusFault;
    const std::string path = foundation::percentDecoded(target);
    {
        std::lock_guard lock(mutex);
        Request entry;
        entry.port = port;
        entry.method = request.method;
        entry.target = request.target;
        entry.path = path;
        if (request.has_header("Authorization")) entry.authorization = request.get_header_value("Authorization");
        if (request.has_header("Range")) entry.range = request.get_header_value("Range");
        index = logStart + log.size();
        log.push_back(std::move(entry));
        overLimit = ++requestCount > options.maximumRequests;
        if (!overLimit)
            statusFault = takeFault(path, [](const Fault& f) { return isAnswer(f); });
    }
    auto answer = [&](int status, const std::string& body = "") {
        response.status = status;
        if (!body.empty()) response.set_content(body, "application/json");
        record(index, status, request.method == "HEAD" ? 0 : body.size());
    };

    if (overLimit) return answer(503, "{\"error\":\"Too many requests\"}");
    if (options.requiredToken && port == mainPort) {
        if (!request.has_header("Authorization")) return answer(401, "{\"error\":\"Unauthorized\"}");
        if (request.get_header_value("Authorization") != "Bearer " + *options.requiredToken)
            return answer(403, "{\"error\":\"Forbidden\"}");
    }
    if (statusFault && statusFault->kind == Fault::Kind::htmlPage) {
        response.status = 200;
        const std::string page = "<!DOCTYPE html><html><body>Sign in to continue</body></html>";
        response.set_content(page, "text/html; charset=utf-8");
        record(index, 200, request.method == "HEAD" ? 0 : page.size());
        return;
    }
    if (statusFault && statusFault->kind == Fault::Kind::redirect) {
        response.set_header("Location", statusFault->location);
        return answer(302);
    }
    if (statusFault) return answer(statusFault->status, "{\"error\":\"Injected failure\"}");

    if (port == storagePort) {
        if (segments.empty() || segments[0] != "storage") return answer(404, "{\"error\":\"Not found\"}");
        auto address = parseResolve(segments, raw, 1);
        if (!address) return answer(404, "{\"error\":\"Not found\"}");
        return serveFile(port, *address, request, index, response);
    }
    if (segments.size() >= 5 && segments[0] == "api" && segments[segments.size() - 2] == "revision") {
        if (request.method != "GET") return answer(405);
        return serveListing(segments, index, response);
    }
    const size_t from = segments.size() >= 2 && segments[0] == "api" && segments[1] == "resolve-cache" ? 2 : 0;
    auto address = parseResolve(segments, raw, from);
    if (!address) return answer(404, "{\"error\":\"Not found\"}");
    serveFile(port, *address, request, index, response);
}

void HubServer::Impl::serveListing(const std::vector<std::string>& segments, size_t index, httplib::Response& response) {
    const std::string type = segments[1];
    const std::string id = joined(segments, 2, segments.size() - 2);
    std::string body;
    int status = 200;
    {
        std::lock_guard lock(mutex);
        const fs::path folder = repositoryFolder(type, id);
        if (listingOverride) {
            body = *listingOverride;
        } else if ((type != "models" && type != "datasets" && type != "spaces") || !isSafe(id) ||
                   !fs::is_directory(folder)) {
            status = 404;
            body = "{\"error\":\"Repository not found\"}";
        } else {
            body = "{\"id\":" + jsonString(id) + ",\"sha\":" + jsonString(commit(folder)) + ",\"siblings\":[";
            bool first = true;
            for (const std::string& name : files(folder)) {
                if (!first) body += ",";
                first = false;
                body += "{\"rfilename\":" + jsonString(name) + "}";
            }
            body += "]}";
        }
    }
    response.status = status;
    response.set_content(body, "application/json");
    record(index, status, body.size());
}

void HubServer::Impl::serveFile(int port, const FileAddress& address, const httplib::Request& request, size_t index,
                                httplib::Response& response) {
    const fs::path folder = repositoryFolder(address.type, address.id);
    const fs::path file = folder / address.path;
    const bool head = request.method == "HEAD";
    if (!isSafe(address.id) || !isSafe(address.path) || !fs::is_regular_file(file)) {
        response.status = 404;
        response.set_header("X-Error-Code", "EntryNotFound");
        record(index, 404, 0);
        return;
    }

    Headers headers;
    std::string repoPrefix = address.type == "models" ? "" : address.type + "/";
    Redirect mode;
    bool linked;
    uint64_t size;
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mutex);
        mode = redirect;
        linked = isLinked(file);
        size = fs::file_size(file);
        auto [etag, sha256] = etags(file);
        headers.emplace_back("X-Repo-Commit", commit(folder));
        headers.emplace_back("ETag", "\"" + etag + "\"");
        if (linked) {
            headers.emplace_back("X-Linked-Etag", "\"" + sha256 + "\"");
            headers.emplace_back("X-Linked-Size", std::to_string(size));
            headers.emplace_back("x-qol-hash", sha256);
            headers.emplace_back("X-Qol-Refresh-Route", "/api/" + repoPrefix + address.id + "/qol-refresh/" +
                                                            address.encodedRevision + "/" + address.path);
        }
        for (const auto& [pattern, extra] : headerOverrides) {
            if (address.path.find(pattern) == std::string::npos) continue;
            for (const auto& [name, value] : extra) {
                std::erase_if(headers, [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
                headers.emplace_back(name, value);
            }
        }
        if (!head)
            fault = takeFault(address.path, [](const Fault& f) { return !isAnswer(f); });
    }
    for (const auto& [name, value] : headers) response.set_header(name, value);

    // The service answers a stored file's resolve URL with a redirect to where the bytes are.
    const bool onResolve = port == mainPort && request.path.rfind("/api/resolve-cache/", 0) != 0;
    if (linked && onResolve && mode != Redirect::none) {
        const std::string rest = repoPrefix + address.id + "/resolve/" + address.encodedRevision + "/" +
                                 foundation::percentEncodedPath(address.path, true);
        response.status = 302;
        response.set_header("Location", mode == Redirect::absolute ? storageURL + "/storage/" + rest
                                                                    : "/api/resolve-cache/" + rest);
        record(index, 302, 0);
        return;
    }

    uint64_t start = 0;
    uint64_t end = size;  // exclusive
    int status = 200;
    std::optional<std::string> range;
    if (request.has_header("Range")) range = request.get_header_value("Range");
    if (range && !(fault && fault->kind == Fault::Kind::ignoreRange)) {
        if (fault && fault->kind == Fault::Kind::rangeNotSatisfiable) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            record(index, 416, 0);
            return;
        }
        unsigned long long first = 0, last = 0;
        int fields = std::sscanf(range->c_str(), "bytes=%llu-%llu", &first, &last);
        if (fields >= 1) {
            if (first >= size) {
                response.status = 416;
                response.set_header("Content-Range", "bytes */" + std::to_string(size));
                record(index, 416, 0);
                return;
            }
            start = first;
            if (fields == 2 && last + 1 < size) end = last + 1;
            status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" + std::to_string(end - 1) +
                                                     "/" + std::to_string(size));
        }
    }
    response.status = status;
    record(index, status, 0);

    auto descriptor = std::make_shared<int>(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    const uint64_t limit = fault && (fault->kind == Fault::Kind::dropAfterBytes || fault->kind == Fault::Kind::stall)
                               ? fault->bytes
                               : UINT64_MAX;
    const bool stall = fault && fault->kind == Fault::Kind::stall;
    const std::optional<uint64_t> corrupted =
        fault && fault->kind == Fault::Kind::corrupt ? std::optional(fault->bytes) : std::nullopt;
    response.set_content_provider(
        static_cast<size_t>(end - start), "application/octet-stream",
        [this, descriptor, start, limit, stall, corrupted, index](size_t offset, size_t length,
                                                                  httplib::DataSink& sink) {
            if (*descriptor < 0 || stopping) return false;
            if (offset >= limit) {
                if (!stall) return false;
                while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            }
            size_t count = std::min<size_t>({length, size_t(1) << 20, static_cast<size_t>(limit - offset)});
            std::vector<char> buffer(count);
            ssize_t got = ::pread(*descriptor, buffer.data(), count, static_cast<off_t>(start + offset));
            if (got <= 0) return false;
            const uint64_t first = start + offset;
            if (corrupted && *corrupted >= first && *corrupted < first + static_cast<uint64_t>(got))
                buffer[*corrupted - first] = static_cast<char>(~buffer[*corrupted - first]);
            // Counted before it is sent, so a client that has the bytes always finds them counted.
            record(index, 0, static_cast<uint64_t>(got));
            return sink.write(buffer.data(), static_cast<size_t>(got));
        },
        [descriptor](bool) {
            if (*descriptor >= 0) ::close(*descriptor);
        });
}

void HubServer::Impl::stop() {
    {
        std::lock_guard lock(stopMutex);
        if (stopping.exchange(true)) return;
    }
    stopCondition.notify_all();
    main.stop();
    storage.stop();
}

HubServer::HubServer(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    Impl* impl = impl_.get();
    impl->main.set_pre_routing_handler([impl](const httplib::Request& request, httplib::Response& response) {
        impl->handle(impl->mainPort, request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
    impl->storage.set_pre_routing_handler([impl](const httplib::Request& request, httplib::Response& response) {
        impl->handle(impl->storagePort, request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
    // One request per connection ("Connection: close"), so stopping never waits for a client's pooled
    // connection to time out.
    impl->main.set_keep_alive_max_count(1);
    impl->storage.set_keep_alive_max_count(1);
    impl->mainPort = impl->main.bind_to_any_port("127.0.0.1");
    impl->storagePort = impl->storage.bind_to_any_port("127.0.0.1");
    if (impl->mainPort <= 0 || impl->storagePort <= 0) throw std::runtime_error("HubServer: cannot bind 127.0.0.1");
    impl->baseURL = "http://127.0.0.1:" + std::to_string(impl->mainPort);
    impl->storageURL = "http://127.0.0.1:" + std::to_string(impl->storagePort);
    impl->mainThread = std::thread([impl] { impl->main.listen_after_bind(); });
    impl->storageThread = std::thread([impl] { impl->storage.listen_after_bind(); });
    impl->watchdog = std::thread([impl] {
        std::unique_lock lock(impl->stopMutex);
        impl->stopCondition.wait_for(lock, impl->options.lifetime, [impl] { return impl->stopping.load(); });
        lock.unlock();
        impl->stop();
    });
    while (!impl->main.is_running() || !impl->storage.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HubServer::~HubServer() {
    impl_->stop();
    impl_->watchdog.join();
    impl_->mainThread.join();
    impl_->storageThread.join();
}

const std::string& HubServer::baseURL() const { return impl_->baseURL; }
const std::string& HubServer::storageURL() const { return impl_->storageURL; }

void HubServer::setRedirect(Redirect redirect) {
    std::lock_guard lock(impl_->mutex);
    impl_->redirect = redirect;
}

void HubServer::addFault(Fault fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.push_back(std::move(fault));
}

void HubServer::clearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

void HubServer::changeEtags() {
    std::lock_guard lock(impl_->mutex);
    ++impl_->generation;
}

void HubServer::setCommit(std::optional<std::string> commit) {
    std::lock_guard lock(impl_->mutex);
    impl_->commitOverride = std::move(commit);
}

void HubServer::setListingBody(std::optional<std::string> body) {
    std::lock_guard lock(impl_->mutex);
    impl_->listingOverride = std::move(body);
}

void HubServer::setResponseHeaders(std::string pathContains, Headers headers) {
    std::lock_guard lock(impl_->mutex);
    impl_->headerOverrides.emplace_back(std::move(pathContains), std::move(headers));
}

std::vector<HubServer::Request> HubServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

void HubServer::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->logStart += impl_->log.size();
    impl_->log.clear();
    impl_->bodyBytes = 0;
}

uint64_t HubServer::bodyBytesSent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->bodyBytes;
}

std::string HubServer::etag(const std::string& repoPath, const std::string& file) const {
    std::lock_guard lock(impl_->mutex);
    const fs::path path = impl_->options.root / repoPath / file;
    auto [etag, sha256] = impl_->etags(path);
    return sha256.empty() ? etag : sha256;
}

TemporaryFolder::TemporaryFolder() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("hub-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::filesystem::path TemporaryFolder::write(const fs::path& relative, const std::string& bytes) const {
    const fs::path file = path_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
}

uint64_t fileSize(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

std::string patternBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<char>(state);
    }
    return out;
}

}  // namespace hubtest
