#pragma once
// The hosting service's repository identity and the hub client's error type. `Hub` is a namespace,
// so the client's convenience functions can join it from their own files.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace hub::Hub {

// The raw value is also the path segment under which the service and the local cache place
// repositories of the kind.
enum class RepoType { models, datasets, spaces };

std::string_view rawValue(RepoType type);
// The case whose raw value is exactly the text (case-sensitive), else nothing.
std::optional<RepoType> repoType(std::string_view rawValue);

struct Repo {
    std::string id;  // e.g. "owner/name"
    RepoType type;

    // {"id": ..., "type": "models"}.
    void encode(foundation::JSONWriter& writer) const;
    // Throws foundation::DecodingError when a key is missing or the type is not one of the raw values.
    static Repo decode(const foundation::JSONValue& json);

    friend bool operator==(const Repo&, const Repo&) = default;
};

class HubClientError : public foundation::Error {
public:
    // Declared order is the error's code.
    enum class Case {
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        authorizationRequired,
        parse,
        unexpectedError,
    };

    static HubClientError httpStatusCode(int64_t statusCode);
    static HubClientError jsonSerialization(std::filesystem::path fileURL, std::string message);
    static HubClientError downloadError(std::string text);
    static HubClientError fileNotFound(std::string text);
    // The platform's URL-loading error (kept to be rethrown or inspected).
    static HubClientError networkError(std::exception_ptr urlError);
    static HubClientError resourceNotFound(std::string text);
    static HubClientError configurationMissing(std::string text);
    // Any error.
    static HubClientError fileSystemError(std::exception_ptr error);
    static HubClientError parseError(std::string text);
    static HubClientError authorizationRequired();
    static HubClientError parse();
    static HubClientError unexpectedError();

    // jsonSerialization for a file that did not parse: "JSON parsing failed for <file URL>: <reason>.
    // If this is a private model, verify that BM_TOKEN is set."
    static HubClientError jsonParsingFailed(const std::filesystem::path& file, const foundation::Error& parseError);

    Case errorCase() const { return case_; }
    int64_t statusCode() const { return statusCode_; }
    const std::filesystem::path& fileURL() const { return fileURL_; }
    // The message or text payload.
    const std::string& text() const { return text_; }
    // The wrapped error of networkError and fileSystemError; null otherwise.
    const std::exception_ptr& underlyingError() const { return underlying_; }

    // The fixed English descriptions ("HTTP error with status code: 404", ...).
    std::optional<std::string> errorDescription() const { return localizedDescription(); }
    std::string localizedDescription() const override;
    std::string describe() const override;

    static std::string_view caseName(Case errorCase);

private:
    explicit HubClientError(Case errorCase);
    HubClientError& finish();

    Case case_;
    int64_t statusCode_ = 0;
    std::filesystem::path fileURL_;
    std::string text_;
    std::exception_ptr underlying_;
    std::string underlyingDescription_;
};

// A file path in the textual form of a file URL: "file:///path/to/config.json", with the characters
// a URL path cannot hold percent-encoded.
std::string fileURLText(const std::filesystem::path& file);

}  // namespace hub::Hub
