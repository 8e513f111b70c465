// Markup and URL filters: escape (e), forceescape, safe, striptags, xmlattr, urlencode, urlize and
// filesizeformat.
#include <algorithm>
#include <cmath>
#include <optional>

#include "Jinja/Error.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

namespace {

// The platform's whitespace-and-newline set: separators (Z*), the tab, U+000A to U+000D and U+0085.
bool isSeparatorOrNewline(char32_t c) {
    if (c == '\t' || isNewlineScalar(c)) return true;
    std::string category = text::generalCategory(c);
    return !category.empty() && category[0] == 'Z';
}

std::string attributeEscaped(std::string_view s) {
    std::string result;
    result.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            default: result += c;
        }
        if (result.size() > limits::maxStringBytes) limits::ensureStringSize(result.size());
    }
    return result;
}

// Percent-encodes every byte outside the ASCII characters that `allowed` accepts.
std::string percentEncoded(std::string_view s, bool (*allowed)(char)) {
    static const char* hex = "0123456789ABCDEF";
    std::string result;
    for (char c : s) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && allowed(c)) {
            result += c;
        } else {
            result += '%';
            result += hex[byte >> 4];
            result += hex[byte & 0x0F];
        }
        if (result.size() > limits::maxStringBytes) limits::ensureStringSize(result.size());
    }
    return result;
}

bool isUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// What a query may hold unencoded.
bool isQueryAllowed(char c) {
    if (isUnreserved(c)) return true;
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';':
        case '=': case ':': case '@': case '/': case '?':
            return true;
        default: return false;
    }
}

// A query item's name or value: the query set without the characters that would change how the
// query reads (& separates items, = separates name and value, + reads as a space, # ends the query).
bool isQueryItemAllowed(char c) { return isQueryAllowed(c) && c != '&' && c != '=' && c != '+'; }

}  // namespace

Value calls::forceescape(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    call.bind(noParameters());
    return Value(htmlEscaped(call.input->asString()));
}

Value calls::escape(const FilterCall& call) {
    call.bind(noParameters());
    return calls::forceescape(call);
}

Value calls::safe(const FilterCall& call) {
    call.bind(noParameters());
    if (!call.input) return Value("");
    return *call.input;
}

Value calls::striptags(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    call.bind(noParameters());
    static const text::Regex tags("<[^>]+>");
    std::string stripped = tags.replacingMatches(call.input->asString(), "");
    std::string result;
    for (const auto& piece : splitAtScalars(stripped, isSeparatorOrNewline)) {
        if (piece.empty()) continue;
        if (!result.empty()) result += ' ';
        result += piece;
    }
    return Value(std::move(result));
}

Value calls::xmlattr(const FilterCall& call) {
    if (!call.input || !call.input->isObject()) return Value("");
    static const ParameterList parameters({"autospace"}, {{"autospace", Value(true)}});
    auto bound = call.bind(parameters);
    std::string result;
    for (const auto& [key, value] : call.input->asObject()) {
        if (value.isNull() || value.isUndefined()) continue;
        if (key.find_first_of(" />=") != std::string::npos) {
            throw JinjaError::runtime("Invalid character in XML attribute key: '" + key + "'");
        }
        if (!result.empty()) result += ' ';
        result += key + "=\"" + attributeEscaped(value.description()) + "\"";
    }
    if (boundArgument(bound, "autospace").isTruthy() && !result.empty()) result = " " + result;
    return Value(std::move(result));
}

Value calls::urlencode(const FilterCall& call) {
    if (!call.input) return Value("");
    call.bind(noParameters());
    const Value& input = *call.input;
    if (input.isObject()) {
        std::string result;
        for (const auto& [key, value] : input.asObject()) {
            if (!result.empty()) result += '&';
            result += percentEncoded(key, isQueryItemAllowed);
            result += '=';
            result += percentEncoded(value.description(), isQueryItemAllowed);
        }
        return Value(std::move(result));
    }
    if (input.isString()) return Value(percentEncoded(input.asString(), isQueryAllowed));
    return Value("");
}

Value calls::urlize(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    static const ParameterList parameters(
        {"trim_url_limit", "nofollow", "target", "rel", "extra_schemes"},
        {{"trim_url_limit", Value::null()}, {"nofollow", Value(false)}, {"target", Value::null()},
         {"rel", Value::null()}, {"extra_schemes", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& limitValue = boundArgument(bound, "trim_url_limit");
    std::optional<size_t> limit;
    // A negative limit shows nothing of the address but the ellipsis.
    if (limitValue.isInt()) limit = static_cast<size_t>(std::max<int64_t>(limitValue.asInt(), 0));
    bool nofollow = boundArgument(bound, "nofollow").isTruthy();
    const Value& target = boundArgument(bound, "target");
    const Value& rel = boundArgument(bound, "rel");
    std::vector<std::string> schemes = {"http", "https", "mailto"};
    const Value& extra = boundArgument(bound, "extra_schemes");
    if (extra.isArray()) {
        for (const auto& scheme : extra.asArray()) {
            if (scheme.isString()) schemes.push_back(text::lowercased(scheme.asString()));
        }
    }
    auto buildAttributes = [&] {
        std::string attributes;
        if (nofollow) attributes += " rel=\"nofollow\"";
        if (target.isString()) attributes += " target=\"" + htmlEscaped(target.asString()) + "\"";
        if (rel.isString()) attributes += " rel=\"" + htmlEscaped(rel.asString()) + "\"";
        return attributes;
    };
    auto isLeading = [](char32_t c) { return c == '(' || c == '['; };
    auto isTrailing = [](char32_t c) {
        return c == '.' || c == ',' || c == ':' || c == ';' || c == '!' || c == '?' || c == ')' || c == '"' ||
               c == ']';
    };

    static const text::Regex runs("\\S+");
    const std::string& input = call.input->asString();
    std::string result;
    size_t copied = 0;
    for (const auto& match : runs.allMatches(input)) {
        result.append(input, copied, match.range.location - copied);
        copied = match.range.location + match.range.length;
        std::string run = input.substr(match.range.location, match.range.length);

        std::string word = run;
        std::string lead;
        std::string trail;
        while (!word.empty()) {
            std::u32string scalars = text::toScalars(word);
            if (!isLeading(scalars.front())) break;
            lead += text::fromScalar(scalars.front());
            auto bounds = boundariesOf(word);
            word = word.substr(bounds[1]);
        }
        while (!word.empty()) {
            std::u32string scalars = text::toScalars(word);
            if (!isTrailing(scalars.back())) break;
            trail = text::fromScalar(scalars.back()) + trail;
            auto bounds = boundariesOf(word);
            word = word.substr(0, bounds[bounds.size() - 2]);
        }
        if (word.empty()) {
            result += run;
            continue;
        }
        std::string lower = text::lowercased(word);
        bool hasAt = word.find('@') != std::string::npos;
        std::optional<std::string> href;
        if (text::hasPrefix(lower, "http://") || text::hasPrefix(lower, "https://")) {
            href = word;
        } else if (text::hasPrefix(lower, "www.")) {
            href = hasAt ? "mailto:" + word : "https://" + word;
        } else if (text::hasPrefix(lower, "mailto:")) {
            href = word;
        } else if (hasAt) {
            href = "mailto:" + word;
        } else if (word.find(':') != std::string::npos) {
            for (const auto& piece : text::split(lower, ":")) {
                if (piece.empty()) continue;
                if (std::find(schemes.begin(), schemes.end(), piece) != schemes.end()) href = word;
                break;
            }
        }
        if (!href) {
            result += run;
            continue;
        }
        std::string linkText = word;
        if (limit) {
            auto characters = text::characters(word);
            if (characters.size() > *limit) {
                linkText.clear();
                for (size_t i = 0; i < *limit; ++i) linkText += characters[i];
                linkText += "...";
            }
        }
        result += lead;
        result += "<a href=\"" + htmlEscaped(*href) + "\"" + buildAttributes() + ">" + htmlEscaped(linkText) + "</a>";
        result += trail;
        limits::ensureStringSize(result.size());
    }
    result.append(input, copied, std::string::npos);
    return Value(std::move(result));
}

Value calls::filesizeformat(const FilterCall& call) {
    if (!call.input) return Value("");
    static const ParameterList parameters({"binary"}, {{"binary", Value(false)}});
    auto bound = call.bind(parameters);
    const Value& input = *call.input;
    if (!input.isNumber()) return Value("");
    double size = input.asDouble();
    if (!std::isfinite(size)) throw JinjaError::runtime("filesizeformat filter requires a finite size");
    bool binary = boundArgument(bound, "binary").isTruthy();
    double base = binary ? 1024.0 : 1000.0;
    if (size < base) return Value(std::to_string(checkedIntFromDouble(size)) + " Bytes");
    double exponent = std::log(size) / std::log(base);
    int index = exponent >= 8.0 ? 8 : std::max(1, static_cast<int>(exponent));
    double number = size / std::pow(base, index);
    const char* units = binary ? "KMGTPEZY" : "kMGTPEZY";
    return Value(foundation::format("%.1f", number) + " " + units[index - 1] + (binary ? "iB" : "B"));
}

}  // namespace jinja::Filters
