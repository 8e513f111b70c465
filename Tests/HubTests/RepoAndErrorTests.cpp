#include <gtest/gtest.h>

#include "Hub/Hub.hpp"
#include "Hub/YYJSONParser.hpp"
#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/Files.hpp"

using hub::Hub::HubClientError;
using hub::Hub::Repo;
using hub::Hub::RepoType;

namespace {

TEST(Repo, RawValuesAreExactAndCaseSensitive) {
    EXPECT_EQ(hub::Hub::repoType("models"), RepoType::models);
    EXPECT_EQ(hub::Hub::repoType("datasets"), RepoType::datasets);
    EXPECT_EQ(hub::Hub::repoType("spaces"), RepoType::spaces);
    EXPECT_EQ(hub::Hub::repoType("Models"), std::nullopt);
    EXPECT_EQ(hub::Hub::repoType("MODELS"), std::nullopt);
    EXPECT_EQ(hub::Hub::rawValue(RepoType::datasets), "datasets");
}

TEST(Repo, EncodesAndDecodes) {
    Repo repo{"owner/name", RepoType::models};
    foundation::JSONWriter writer;
    repo.encode(writer);
    EXPECT_EQ(writer.str(), R"({"id":"owner\/name","type":"models"})");
    EXPECT_EQ(Repo::decode(foundation::JSONDocument::parse(writer.str()).root()), repo);

    const std::pair<const char*, foundation::DecodingError::Case> bad[] = {
        {R"({"id": "a"})", foundation::DecodingError::Case::keyNotFound},
        {R"({"type": "models"})", foundation::DecodingError::Case::keyNotFound},
        {R"({"id": "a", "type": "Models"})", foundation::DecodingError::Case::dataCorrupted},
    };
    for (auto [json, expected] : bad) {
        try {
            Repo::decode(foundation::JSONDocument::parse(json).root());
            FAIL() << json;
        } catch (const foundation::DecodingError& error) {
            EXPECT_EQ(error.kind(), expected) << json;
        }
    }
}

TEST(HubClientError, Descriptions) {
    const std::pair<HubClientError, const char*> cases[] = {
        {HubClientError::httpStatusCode(404), "HTTP error with status code: 404"},
        {HubClientError::jsonSerialization("/a/b.json", "the message"), "the message"},
        {HubClientError::downloadError("x"), "Download failed: x"},
        {HubClientError::fileNotFound("config.json"), "File not found: config.json"},
        {HubClientError::networkError(std::make_exception_ptr(foundation::RuntimeError("offline"))),
         "Network error: offline"},
        {HubClientError::resourceNotFound("owner/name"), "Resource not found: owner/name"},
        {HubClientError::configurationMissing("tokenizer.json"), "Required configuration file missing: tokenizer.json"},
        {HubClientError::fileSystemError(std::make_exception_ptr(foundation::FileError("denied"))),
         "File system error: denied"},
        {HubClientError::parseError("bad"), "Parse error: bad"},
        {HubClientError::authorizationRequired(), "Authentication required. Please provide a valid Brindlemoor token."},
        {HubClientError::parse(), "Failed to parse server response."},
        {HubClientError::unexpectedError(), "An unexpected error occurred."},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.localizedDescription(), text);
    EXPECT_STREQ(HubClientError::httpStatusCode(404).what(), "httpStatusCode(404)");
    EXPECT_EQ(HubClientError::configurationMissing("tokenizer.json").describe(), "configurationMissing(\"tokenizer.json\")");

    // The wrapped error can be rethrown and caught by its own type.
    auto wrapped = HubClientError::fileSystemError(std::make_exception_ptr(foundation::FileError("denied")));
    EXPECT_THROW(std::rethrow_exception(wrapped.underlyingError()), foundation::FileError);
}

TEST(HubClientError, JSONParsingFailureNamesTheFileURL) {
    try {
        hub::YYJSONParser::parseToConfig("{");
        FAIL();
    } catch (const hub::YYJSONParser::ParseError& parseError) {
        auto error = HubClientError::jsonParsingFailed("/models/my model/config.json", parseError);
        EXPECT_EQ(error.errorCase(), HubClientError::Case::jsonSerialization);
        EXPECT_EQ(error.fileURL(), "/models/my model/config.json");
        EXPECT_EQ(error.localizedDescription(), "JSON parsing failed for file:///models/my%20model/config.json: " +
                                                    parseError.localizedDescription() +
                                                    ". If this is a private model, verify that BM_TOKEN is set.");
    }
}

}  // namespace
