#pragma once
// A small HTTP client in the shape of the platform's URL session, on libcurl: GET and HEAD with the whole
// body or a streamed one, redirects decided by the session's policy, idle timeouts only (a long transfer
// that keeps moving is never cut), cancellation through a stop token or by invalidating the session, and
// libcurl's failures reported as the platform's URL errors.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Foundation/URLError.hpp"

namespace hub {

using HTTPHeaderFields = std::vector<std::pair<std::string, std::string>>;

struct URLRequest {
    URLRequest() = default;
    explicit URLRequest(std::string url) : url(std::move(url)) {}

    std::string url;
    std::string httpMethod = "GET";  // "GET" or "HEAD"
    HTTPHeaderFields allHTTPHeaderFields;
    // Seconds the transfer may go without receiving anything (connecting included) before it fails with
    // `timedOut`. There is no limit on the whole transfer.
    double timeoutInterval = 60;

    // Header names are matched without regard to case.
    std::optional<std::string> value(std::string_view field) const;
    // Replaces every field of that name; nothing removes it.
    void setValue(std::optional<std::string> value, std::string_view field);
};

struct HTTPURLResponse {
    std::string url;  // the URL that answered, after the redirects the session followed
    int statusCode = 0;
    HTTPHeaderFields allHeaderFields;  // in arrival order

    // Matched without regard to case; fields given more than once are joined with ", ".
    std::optional<std::string> value(std::string_view field) const;
};

class URLSession {
public:
    // Called for a 3xx response that carries a "Location": returns the request to send next, or nothing to
    // hand the 3xx response itself back to the caller. `original` is the request the caller made.
    using RedirectPolicy =
        std::function<std::optional<URLRequest>(const HTTPURLResponse& redirect, const URLRequest& original)>;

    struct Configuration {
        RedirectPolicy redirectPolicy = followRedirects;
        int maximumRedirects = 20;
        // Bound of the body that `data` keeps in memory.
        size_t maximumDataLength = 64u << 20;
    };

    // The platform's default: follow the redirect (a 303 becomes a GET), but never carry the
    // "Authorization" field to another scheme, host or port.
    static std::optional<URLRequest> followRedirects(const HTTPURLResponse& redirect, const URLRequest& original);

    URLSession();
    explicit URLSession(Configuration configuration);
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    // The process-wide session with the default configuration.
    static std::shared_ptr<URLSession> shared();

    // The whole body and the response. Any status is a response; failures of the transfer throw
    // foundation::URLError (`dataLengthExceedsMaximum` past the configured bound).
    std::pair<std::string, HTTPURLResponse> data(const URLRequest& request, std::stop_token stop = {});

    // Streams the body: `onResponse` sees the final response head before any of its body, then `onData`
    // receives the body piece by piece. An exception thrown by either stops the transfer and reaches the
    // caller unchanged.
    HTTPURLResponse stream(const URLRequest& request, const std::function<void(const HTTPURLResponse&)>& onResponse,
                           const std::function<void(std::string_view)>& onData, std::stop_token stop = {});

    // Ends every transfer in flight with `cancelled`; later requests fail with `cancelled` too.
    void invalidateAndCancel();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace hub
