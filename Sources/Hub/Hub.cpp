#include "Hub/Hub.hpp"

#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/URL.hpp"

namespace hub::Hub {

using foundation::DecodingError;

std::string_view rawValue(RepoType type) {
    switch (type) {
        case RepoType::models:
            return "models";
        case RepoType::datasets:
            return "datasets";
        case RepoType::spaces:
            return "spaces";
    }
    return "models";
}

std::optional<RepoType> repoType(std::string_view raw) {
    for (RepoType type : {RepoType::models, RepoType::datasets, RepoType::spaces})
        if (rawValue(type) == raw) return type;
    return std::nullopt;
}

void Repo::encode(foundation::JSONWriter& writer) const {
    writer.beginObject().field("id", id).field("type", rawValue(type)).endObject();
}

Repo Repo::decode(const foundation::JSONValue& json) {
    if (!json.exists() || !json.isObject())
        throw DecodingError(DecodingError::Case::typeMismatch, "Expected to decode Dictionary but found another kind.");
    auto required = [&](std::string_view key) {
        foundation::JSONValue member = json.member(key);
        if (!member.exists())
            throw DecodingError(DecodingError::Case::keyNotFound, {},
                                "No value associated with key \"" + std::string(key) + "\".");
        if (!member.isString())
            throw DecodingError(DecodingError::Case::typeMismatch, {std::string(key)},
                                "Expected to decode String but found another kind.");
        return member.asString();
    };
    std::string id = required("id");
    std::string typeText = required("type");
    std::optional<RepoType> type = repoType(typeText);
    if (!type)
        throw DecodingError(DecodingError::Case::dataCorrupted, {"type"},
                            "Cannot initialize RepoType from invalid String value " + typeText);
    return Repo{std::move(id), *type};
}

// --- HubClientError

HubClientError::HubClientError(Case errorCase) : case_(errorCase) {}

HubClientError& HubClientError::finish() {
    setWhat(describe());
    return *this;
}

namespace {

std::string descriptionOf(const std::exception_ptr& error) {
    if (!error) return "";
    try {
        std::rethrow_exception(error);
    } catch (const foundation::Error& e) {
        return e.localizedDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "The operation couldn't be completed.";
    }
}

std::string describeUnderlying(const std::exception_ptr& error) {
    if (!error) return "";
    try {
        std::rethrow_exception(error);
    } catch (const foundation::Error& e) {
        return e.describe();
    } catch (const std::exception& e) {
        return foundation::debugQuoted(e.what());
    } catch (...) {
        return "unknown";
    }
}

}  // namespace

HubClientError HubClientError::httpStatusCode(int64_t statusCode) {
    HubClientError e(Case::httpStatusCode);
    e.statusCode_ = statusCode;
    return e.finish();
}

HubClientError HubClientError::jsonSerialization(std::filesystem::path fileURL, std::string message) {
    HubClientError e(Case::jsonSerialization);
    e.fileURL_ = std::move(fileURL);
    e.text_ = std::move(message);
    return e.finish();
}

HubClientError HubClientError::jsonParsingFailed(const std::filesystem::path& file, const foundation::Error& parseError) {
    return jsonSerialization(file, "JSON parsing failed for " + fileURLText(file) + ": " +
                                       parseError.localizedDescription() +
                                       ". If this is a private model, verify that BM_TOKEN is set.");
}

#define HUB_TEXT_CASE(name)                                   \
    HubClientError HubClientError::name(std::string text) {   \
        HubClientError e(Case::name);                         \
        e.text_ = std::move(text);                            \
        return e.finish();                                    \
    }
HUB_TEXT_CASE(downloadError)
HUB_TEXT_CASE(fileNotFound)
HUB_TEXT_CASE(resourceNotFound)
HUB_TEXT_CASE(configurationMissing)
HUB_TEXT_CASE(parseError)
#undef HUB_TEXT_CASE

HubClientError HubClientError::networkError(std::exception_ptr urlError) {
    HubClientError e(Case::networkError);
    e.underlying_ = std::move(urlError);
    e.underlyingDescription_ = descriptionOf(e.underlying_);
    return e.finish();
}

HubClientError HubClientError::fileSystemError(std::exception_ptr error) {
    HubClientError e(Case::fileSystemError);
    e.underlying_ = std::move(error);
    e.underlyingDescription_ = descriptionOf(e.underlying_);
    return e.finish();
}

HubClientError HubClientError::authorizationRequired() { return HubClientError(Case::authorizationRequired).finish(); }
HubClientError HubClientError::parse() { return HubClientError(Case::parse).finish(); }
HubClientError HubClientError::unexpectedError() { return HubClientError(Case::unexpectedError).finish(); }

std::string HubClientError::localizedDescription() const {
    switch (case_) {
        case Case::httpStatusCode:
            return "HTTP error with status code: " + std::to_string(statusCode_);
        case Case::jsonSerialization:
            return text_;
        case Case::downloadError:
            return "Download failed: " + text_;
        case Case::fileNotFound:
            return "File not found: " + text_;
        case Case::networkError:
            return "Network error: " + underlyingDescription_;
        case Case::resourceNotFound:
            return "Resource not found: " + text_;
        case Case::configurationMissing:
            return "Required configuration file missing: " + text_;
        case Case::fileSystemError:
            return "File system error: " + underlyingDescription_;
        case Case::parseError:
            return "Parse error: " + text_;
        case Case::authorizationRequired:
            return "Authentication required. Please provide a valid Brindlemoor token.";
        case Case::parse:
            return "Failed to parse server response.";
        case Case::unexpectedError:
            return "An unexpected error occurred.";
    }
    return "An unexpected error occurred.";
}

std::string HubClientError::describe() const {
    std::string_view name = caseName(case_);
    switch (case_) {
        case Case::httpStatusCode:
            return std::string(name) + "(" + std::to_string(statusCode_) + ")";
        case Case::jsonSerialization:
            return std::string(name) + "(fileURL: " + fileURLText(fileURL_) + ", message: " +
                   foundation::debugQuoted(text_) + ")";
        case Case::networkError:
        case Case::fileSystemError:
            return std::string(name) + "(" + describeUnderlying(underlying_) + ")";
        case Case::authorizationRequired:
        case Case::parse:
        case Case::unexpectedError:
            return foundation::describeCase(name);
        default:
            return foundation::describeCase(name, text_);
    }
}

std::string_view HubClientError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::httpStatusCode:
            return "httpStatusCode";
        case Case::jsonSerialization:
            return "jsonSerialization";
        case Case::downloadError:
            return "downloadError";
        case Case::fileNotFound:
            return "fileNotFound";
        case Case::networkError:
            return "networkError";
        case Case::resourceNotFound:
            return "resourceNotFound";
        case Case::configurationMissing:
            return "configurationMissing";
        case Case::fileSystemError:
            return "fileSystemError";
        case Case::parseError:
            return "parseError";
        case Case::authorizationRequired:
            return "authorizationRequired";
        case Case::parse:
            return "parse";
        case Case::unexpectedError:
            return "unexpectedError";
    }
    return "unexpectedError";
}

std::string fileURLText(const std::filesystem::path& file) {
    const std::string path = file.is_absolute() ? file.string() : std::filesystem::absolute(file).string();
    return "file://" + foundation::percentEncodedPath(path, true);
}

}  // namespace hub::Hub
