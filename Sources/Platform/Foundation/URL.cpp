#include "Platform/Foundation/URL.hpp"

#include <vector>

namespace foundation {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) { return isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
std::string lowercasedASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

// Characters no part of a URL may hold; "%" must start a valid escape.
bool isWellFormed(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F) return false;
        switch (c) {
            case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}': return false;
            default: break;
        }
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) return false;
    }
    return true;
}

// pchar minus "%" (which is always encoded): unreserved, sub-delims, ":" and "@".
bool isPathCharacter(char c) {
    if (isAlpha(c) || isDigit(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
        case ':': case '@':
            return true;
        default:
            return false;
    }
}

// RFC 3986 5.2.4.
std::string removingDotSegments(std::string_view path) {
    std::vector<std::string_view> output;
    bool absolute = !path.empty() && path.front() == '/';
    size_t start = absolute ? 1 : 0;
    bool trailingSlash = false;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view segment = path.substr(start, end - start);
        bool last = end == path.size();
        if (segment == ".") {
            trailingSlash = true;
        } else if (segment == "..") {
            if (!output.empty()) output.pop_back();
            trailingSlash = true;
        } else {
            output.push_back(segment);
            trailingSlash = false;
        }
        if (last) break;
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < output.size(); ++i) {
        if (i > 0) result += '/';
        result += output[i];
    }
    if (trailingSlash && !output.empty() && !output.back().empty()) result += '/';
    return result;
}

}  // namespace

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
    if (!isWellFormed(text)) return std::nullopt;
    URLComponents url;
    std::string_view rest = text;

    if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (size_t question = rest.find('?'); question != std::string_view::npos) {
        url.query = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (size_t colon = rest.find(':'); colon != std::string_view::npos && colon < rest.find('/')) {
        std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme.front())) return std::nullopt;
        for (char c : scheme)
            if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
        url.scheme = lowercasedASCII(scheme);
        rest = rest.substr(colon + 1);
    }
    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        size_t end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
            url.userinfo = std::string(authority.substr(0, at));
            authority = authority.substr(at + 1);
        }
        std::string_view host = authority;
        std::string_view port;
        if (!authority.empty() && authority.front() == '[') {
            size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                port = after.substr(1);
            }
        } else if (size_t colon = authority.find(':'); colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (!port.empty()) {
            if (port.size() > 5) return std::nullopt;
            int value = 0;
            for (char c : port) {
                if (!isDigit(c)) return std::nullopt;
                value = value * 10 + (c - '0');
            }
            if (value > 65535) return std::nullopt;
            url.port = value;
        }
        url.host = lowercasedASCII(host);
    } else if (!url.scheme.empty() && (url.scheme == "http" || url.scheme == "https")) {
        return std::nullopt;  // "http:path" names no server
    }
    url.path = std::string(rest);
    return url;
}

std::string URLComponents::string() const {
    std::string out;
    if (!scheme.empty()) out += scheme + ":";
    if (host) {
        out += "//";
        if (userinfo) out += *userinfo + "@";
        out += *host;
        if (port) out += ":" + std::to_string(*port);
    }
    out += path;
    if (query) out += "?" + *query;
    if (fragment) out += "#" + *fragment;
    return out;
}

std::optional<int> URLComponents::effectivePort() const {
    if (port) return port;
    if (scheme == "http") return 80;
    if (scheme == "https") return 443;
    return std::nullopt;
}

std::string percentEncodedPath(std::string_view text, bool keepSlashes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (isPathCharacter(c) || (keepSlashes && c == '/')) {
            out += c;
        } else {
            unsigned char byte = static_cast<unsigned char>(c);
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> appendingPathComponents(std::string_view url, std::string_view path, bool asOneSegment) {
    auto components = URLComponents::parse(url);
    if (!components) return std::nullopt;
    std::string& base = components->path;
    while (!base.empty() && base.back() == '/') base.pop_back();
    base += '/';
    base += percentEncodedPath(path, !asOneSegment);
    components->query.reset();
    components->fragment.reset();
    return components->string();
}

std::optional<std::string> resolvingURL(std::string_view reference, std::string_view base) {
    auto r = URLComponents::parse(reference);
    auto b = URLComponents::parse(base);
    if (!r || !b || b->scheme.empty()) return std::nullopt;
    URLComponents t;
    if (!r->scheme.empty()) {
        t = *r;
        t.path = removingDotSegments(r->path);
    } else {
        t.scheme = b->scheme;
        if (r->host) {
            t.userinfo = r->userinfo;
            t.host = r->host;
            t.port = r->port;
            t.path = removingDotSegments(r->path);
            t.query = r->query;
        } else {
            t.userinfo = b->userinfo;
            t.host = b->host;
            t.port = b->port;
            if (r->path.empty()) {
                t.path = b->path;
                t.query = r->query ? r->query : b->query;
            } else {
                if (r->path.front() == '/') {
                    t.path = removingDotSegments(r->path);
                } else {
                    std::string merged;
                    if (b->host && b->path.empty()) {
                        merged = "/" + r->path;
                    } else {
                        size_t slash = b->path.rfind('/');
                        merged = (slash == std::string::npos ? std::string() : b->path.substr(0, slash + 1)) + r->path;
                    }
                    t.path = removingDotSegments(merged);
                }
                t.query = r->query;
            }
        }
        t.fragment = r->fragment;
    }
    return t.string();
}

bool isSameOrigin(std::string_view a, std::string_view b) {
    auto x = URLComponents::parse(a);
    auto y = URLComponents::parse(b);
    if (!x || !y || !x->host || !y->host) return false;
    return x->scheme == y->scheme && *x->host == *y->host && x->effectivePort() == y->effectivePort();
}

std::string lastPathComponent(std::string_view url) {
    auto components = URLComponents::parse(url);
    if (!components) return "";
    std::string_view path = components->path;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (last.empty() && path == "/") return "/";
    return percentDecoded(last);
}

}  // namespace foundation
