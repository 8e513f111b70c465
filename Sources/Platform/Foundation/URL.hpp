#pragma once
// Web URLs: one small parser (RFC 3986) and the few operations the network code needs. Texts stay as
// written; percent-encoding is only added by the appending helpers and removed by lastPathComponent.
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

struct URLComponents {
    std::string scheme;                  // lower-cased; empty for a relative reference
    std::optional<std::string> userinfo;
    std::optional<std::string> host;     // lower-cased; absent when the reference has no authority
    std::optional<int> port;
    std::string path;                    // as written, percent-encoded
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    // Nothing for text a URL cannot hold (spaces, controls, non-ASCII, a bad port or scheme).
    static std::optional<URLComponents> parse(std::string_view text);
    std::string string() const;
    // The port, or the scheme's default (80 for http, 443 for https), or nothing.
    std::optional<int> effectivePort() const;
};

// Percent-encodes what a path segment cannot hold; "/" too when `keepSlashes` is false.
std::string percentEncodedPath(std::string_view text, bool keepSlashes);
std::string percentDecoded(std::string_view text);

// `url` with `path` appended: exactly one "/" between the existing path and the new part, the part's "/"
// kept as separators (`asOneSegment` false) or encoded as %2F (true). The query and fragment are dropped.
// Nothing when `url` does not parse.
std::optional<std::string> appendingPathComponents(std::string_view url, std::string_view path, bool asOneSegment);
// A reference (absolute, or relative like a "Location" header) resolved against a base URL (RFC 3986 5.2).
std::optional<std::string> resolvingURL(std::string_view reference, std::string_view base);
// Same scheme, host and port.
bool isSameOrigin(std::string_view a, std::string_view b);
// The decoded last segment of the path ("" for an empty path).
std::string lastPathComponent(std::string_view url);

}  // namespace foundation
