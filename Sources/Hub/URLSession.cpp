#include "Hub/URLSession.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <unordered_set>

#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/URL.hpp"

namespace hub {

using foundation::URLError;

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool holdsLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

URLError::Code codeFor(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL: return URLError::Code::unsupportedURL;
        case CURLE_URL_MALFORMAT: return URLError::Code::badURL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST: return URLError::Code::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return URLError::Code::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return URLError::Code::timedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return URLError::Code::networkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY: return URLError::Code::badServerResponse;
        case CURLE_BAD_CONTENT_ENCODING: return URLError::Code::cannotDecodeContentData;
        case CURLE_FILESIZE_EXCEEDED: return URLError::Code::dataLengthExceedsMaximum;
        case CURLE_TOO_MANY_REDIRECTS: return URLError::Code::httpTooManyRedirects;
        case CURLE_ABORTED_BY_CALLBACK: return URLError::Code::cancelled;
        case CURLE_WRITE_ERROR: return URLError::Code::cannotWriteToFile;
        case CURLE_PEER_FAILED_VERIFICATION: return URLError::Code::serverCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR: return URLError::Code::secureConnectionFailed;
        default: return URLError::Code::unknown;
    }
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Loopback addresses never go through a proxy configured in the environment.
std::string noProxyList() {
    std::string list = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (auto value = foundation::environmentValue(name); value && !value->empty()) {
            list += "," + *value;
            break;
        }
    }
    return list;
}

// One transfer slot: a multi handle (which owns the connection cache, so connections are reused across
// requests of the session) driving one easy handle.
struct Slot {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    Slot() : multi(curl_multi_init()), easy(curl_easy_init()) {}
    ~Slot() {
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
};

constexpr size_t kMaximumPooledSlots = 4;
// A redirect's own body is read and dropped; one larger than this ends that hop early.
constexpr size_t kMaximumRedirectBody = 1u << 20;

}  // namespace

std::optional<std::string> URLRequest::value(std::string_view field) const {
    for (const auto& [name, value] : allHTTPHeaderFields)
        if (equalsIgnoringCase(name, field)) return value;
    return std::nullopt;
}

void URLRequest::setValue(std::optional<std::string> value, std::string_view field) {
    std::erase_if(allHTTPHeaderFields, [&](const auto& entry) { return equalsIgnoringCase(entry.first, field); });
    if (value) allHTTPHeaderFields.emplace_back(std::string(field), std::move(*value));
}

std::optional<std::string> HTTPURLResponse::value(std::string_view field) const {
    std::optional<std::string> result;
    for (const auto& [name, value] : allHeaderFields) {
        if (!equalsIgnoringCase(name, field)) continue;
        if (result) *result += ", " + value;
        else result = value;
    }
    return result;
}

std::optional<URLRequest> URLSession::followRedirects(const HTTPURLResponse& redirect, const URLRequest& original) {
    auto location = redirect.value("Location");
    if (!location) return std::nullopt;
    auto target = foundation::resolvingURL(*location, redirect.url);
    if (!target) return std::nullopt;
    URLRequest next = original;
    next.url = *target;
    if (redirect.statusCode == 303) next.httpMethod = "GET";
    if (!foundation::isSameOrigin(*target, original.url)) next.setValue(std::nullopt, "Authorization");
    return next;
}

struct URLSession::Impl {
    Configuration configuration;
    std::string noProxy = noProxyList();

    std::mutex mutex;
    std::vector<std::unique_ptr<Slot>> idle;
    std::unordered_set<CURLM*> active;
    std::atomic<bool> invalidated{false};

    std::unique_ptr<Slot> acquire(CURLM*& registered) {
        std::lock_guard lock(mutex);
        if (invalidated) throw URLError(URLError::Code::cancelled);
        std::unique_ptr<Slot> slot;
        if (!idle.empty()) {
            slot = std::move(idle.back());
            idle.pop_back();
        } else {
            slot = std::make_unique<Slot>();
            if (!slot->multi || !slot->easy) throw URLError(URLError::Code::unknown);
        }
        active.insert(slot->multi);
        registered = slot->multi;
        return slot;
    }

    void release(std::unique_ptr<Slot> slot) {
        std::lock_guard lock(mutex);
        active.erase(slot->multi);
        if (!invalidated && idle.size() < kMaximumPooledSlots) idle.push_back(std::move(slot));
    }

};

namespace {

// The state of one hop (one request and its response) while libcurl runs it.
struct Exchange {
    const std::atomic<bool>* invalidated = nullptr;
    const URLSession::Configuration* configuration = nullptr;
    const URLRequest* original = nullptr;
    std::string url;
    std::stop_token stop;
    const std::function<void(const HTTPURLResponse&)>* onResponse = nullptr;
    const std::function<void(std::string_view)>* onData = nullptr;
    bool redirectsLeft = true;

    HTTPURLResponse response;
    bool headComplete = false;
    std::optional<URLRequest> redirect;
    size_t droppedBytes = 0;
    std::exception_ptr error;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

    bool cancelled() const { return stop.stop_requested() || invalidated->load(); }

    void endOfHead() {
        if (response.statusCode >= 100 && response.statusCode < 200) return;  // an interim answer; the real one follows
        headComplete = true;
        if (response.statusCode >= 300 && response.statusCode < 400 && response.value("Location") &&
            configuration->redirectPolicy) {
            redirect = configuration->redirectPolicy(response, *original);
            if (redirect && !redirectsLeft) throw URLError(URLError::Code::httpTooManyRedirects, url);
            if (redirect) return;
        }
        if (*onResponse) (*onResponse)(response);
    }

    static size_t header(char* data, size_t size, size_t count, void* context) {
        auto* self = static_cast<Exchange*>(context);
        const size_t length = size * count;
        self->lastActivity = std::chrono::steady_clock::now();
        std::string_view line(data, length);
        try {
            if (line.substr(0, 5) == "HTTP/") {
                self->response.allHeaderFields.clear();
                self->response.statusCode = 0;
                self->headComplete = false;
                size_t space = line.find(' ');
                if (space != line.npos) {
                    int status = 0;
                    for (size_t i = space + 1; i < line.size() && line[i] >= '0' && line[i] <= '9' && status < 1000; ++i)
                        status = status * 10 + (line[i] - '0');
                    self->response.statusCode = status;
                }
            } else if (trimmed(line).empty()) {
                if (!self->headComplete && self->response.statusCode != 0) self->endOfHead();
            } else if (!self->headComplete) {
                size_t colon = line.find(':');
                if (colon != line.npos)
                    self->response.allHeaderFields.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                                                std::string(trimmed(line.substr(colon + 1))));
            }
        } catch (...) {
            self->error = std::current_exception();
            return 0;
        }
        return length;
    }

    static size_t write(char* data, size_t size, size_t count, void* context) {
        auto* self = static_cast<Exchange*>(context);
        const size_t length = size * count;
        self->lastActivity = std::chrono::steady_clock::now();
        if (self->error) return 0;
        if (self->redirect) {
            self->droppedBytes += length;
            return self->droppedBytes > kMaximumRedirectBody ? 0 : length;
        }
        if (!self->headComplete) return 0;
        try {
            if (*self->onData) (*self->onData)(std::string_view(data, length));
        } catch (...) {
            self->error = std::current_exception();
            return 0;
        }
        return length;
    }

    static int progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Exchange*>(context)->cancelled() ? 1 : 0;
    }
};

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void append(const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) throw URLError(URLError::Code::unknown);
        list = grown;
    }
};

}  // namespace

URLSession::URLSession() : URLSession(Configuration{}) {}

URLSession::URLSession(Configuration configuration) : impl_(std::make_unique<Impl>()) {
    initializeCurlOnce();
    impl_->configuration = std::move(configuration);
}

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::shared() {
    static const std::shared_ptr<URLSession> session = std::make_shared<URLSession>();
    return session;
}

void URLSession::invalidateAndCancel() {
    std::lock_guard lock(impl_->mutex);
    impl_->invalidated = true;
    impl_->idle.clear();
    for (CURLM* multi : impl_->active) curl_multi_wakeup(multi);
}

std::pair<std::string, HTTPURLResponse> URLSession::data(const URLRequest& request, std::stop_token stop) {
    std::string body;
    const size_t limit = impl_->configuration.maximumDataLength;
    HTTPURLResponse response = stream(
        request, {},
        [&](std::string_view piece) {
            if (body.size() + piece.size() > limit)
                throw URLError(URLError::Code::dataLengthExceedsMaximum, request.url);
            body.append(piece);
        },
        stop);
    return {std::move(body), std::move(response)};
}

HTTPURLResponse URLSession::stream(const URLRequest& request,
                                   const std::function<void(const HTTPURLResponse&)>& onResponse,
                                   const std::function<void(std::string_view)>& onData, std::stop_token stop) {
    for (const auto& [name, value] : request.allHTTPHeaderFields)
        if (holdsLineBreakOrNul(name) || holdsLineBreakOrNul(value) || name.find(':') != name.npos)
            throw URLError(URLError::Code::badURL, request.url);

    URLRequest current = request;
    bool freshConnection = false;
    for (int hop = 0;; ++hop) {
        auto parsed = foundation::URLComponents::parse(current.url);
        if (!parsed || !parsed->host) throw URLError(URLError::Code::badURL, current.url);
        if (parsed->scheme != "http" && parsed->scheme != "https")
            throw URLError(URLError::Code::unsupportedURL, current.url);

        Exchange exchange;
        exchange.invalidated = &impl_->invalidated;
        exchange.configuration = &impl_->configuration;
        exchange.original = &request;
        exchange.url = current.url;
        exchange.stop = stop;
        exchange.onResponse = &onResponse;
        exchange.onData = &onData;
        exchange.redirectsLeft = hop < impl_->configuration.maximumRedirects;
        exchange.response.url = current.url;

        CURLM* registered = nullptr;
        std::unique_ptr<Slot> slot = impl_->acquire(registered);
        struct Release {
            Impl* impl;
            std::unique_ptr<Slot>& slot;
            ~Release() { impl->release(std::move(slot)); }
        } release{impl_.get(), slot};
        CURL* easy = slot->easy;
        CURLM* multi = slot->multi;

        HeaderList headers;
        for (const auto& [name, value] : current.allHTTPHeaderFields) headers.append(name + ": " + value);
        const double timeout = current.timeoutInterval > 0 ? current.timeoutInterval : 60;

        curl_easy_reset(easy);
        curl_easy_setopt(easy, CURLOPT_URL, current.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        if (current.httpMethod == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        else curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "quorvel-hub/1.0");
        curl_easy_setopt(easy, CURLOPT_NOPROXY, impl_->noProxy.c_str());
        curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
        if (freshConnection) curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Exchange::header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Exchange::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Exchange::progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &exchange);

        // Idle timeout only: the transfer fails when nothing arrives for the whole interval, however long
        // it has been running.
        const auto idleLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(timeout));
        CURLcode result = CURLE_OK;
        bool aborted = false;
        bool idle = false;
        {
            std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
            curl_multi_add_handle(multi, easy);
            for (;;) {
                int running = 0;
                if (curl_multi_perform(multi, &running) != CURLM_OK) {
                    result = CURLE_FAILED_INIT;
                    break;
                }
                if (running == 0) {
                    int queued = 0;
                    while (CURLMsg* message = curl_multi_info_read(multi, &queued))
                        if (message->msg == CURLMSG_DONE) result = message->data.result;
                    break;
                }
                if (exchange.cancelled()) {
                    aborted = true;
                    break;
                }
                const auto quiet = std::chrono::steady_clock::now() - exchange.lastActivity;
                if (quiet >= idleLimit) {
                    idle = true;
                    break;
                }
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(idleLimit - quiet);
                curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 1, 1000)),
                                nullptr);
            }
            curl_multi_remove_handle(multi, easy);
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);

        if (exchange.error) std::rethrow_exception(exchange.error);
        if (aborted || (result == CURLE_ABORTED_BY_CALLBACK && exchange.cancelled()))
            throw URLError(URLError::Code::cancelled, current.url);
        if (idle) throw URLError(URLError::Code::timedOut, current.url);
        if (exchange.redirect) {
            current = std::move(*exchange.redirect);
            continue;
        }
        // A pooled connection the server closed while it sat idle fails before any answer: the request is
        // sent once more on a new connection (only GET and HEAD are ever sent, so repeating is harmless).
        long connects = 0;
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        if (!freshConnection && connects == 0 && exchange.response.statusCode == 0 &&
            (result == CURLE_GOT_NOTHING || result == CURLE_RECV_ERROR || result == CURLE_SEND_ERROR)) {
            freshConnection = true;
            --hop;
            continue;
        }
        freshConnection = false;
        if (result != CURLE_OK) throw URLError(codeFor(result), current.url);
        if (!exchange.headComplete) throw URLError(URLError::Code::badServerResponse, current.url);
        return std::move(exchange.response);
    }
}

}  // namespace hub
