#include <gtest/gtest.h>

#include <algorithm>

#include "LoopbackHub.hpp"
#include "Platform/Foundation/DecodingError.hpp"

namespace {

using hub::HubApi;
using hub::Hub::HubClientError;
using hub::Hub::Repo;
using hub::Hub::RepoType;
using hubtest::HubServer;
using Fault = HubServer::Fault;

class HubApiTest : public hubnettests::LoopbackHub {
protected:
    HubApiTest() : LoopbackHub({.linkedThreshold = 1000}) {
        repos.write("owner/model/config.json", "{\"model_type\":\"whisper\"}");
        repos.write("owner/model/a/config.json", "{}");
        repos.write("owner/model/tokenizer.json", "{}");
        repos.write("owner/model/weights/model.bin", hubtest::patternBytes(5000));
        repos.write("datasets/owner/data/train.csv", "a,b\n");
    }
    const Repo model{"owner/model", RepoType::models};
};

HubClientError::Case failureCase(const std::function<void()>& body) {
    try {
        body();
    } catch (const HubClientError& error) {
        return error.errorCase();
    }
    ADD_FAILURE() << "no HubClientError thrown";
    return HubClientError::Case::unexpectedError;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(HubApiTest, ListsFilesAndFiltersThemByGlob) {
    const HubApi api = client();
    EXPECT_EQ(api.getFilenames(model), (std::vector<std::string>{"a/config.json", "config.json", "tokenizer.json",
                                                                 "weights/model.bin"}));
    EXPECT_EQ(sorted(api.getFilenames(model, "main", {"*.json"})),
              (std::vector<std::string>{"a/config.json", "config.json", "tokenizer.json"}))
        << "\"*\" also matches \"/\"";
    EXPECT_EQ(api.getFilenames(model, "main", {"*.json", "config.json"}).size(), 3u) << "each name once";
    EXPECT_EQ(api.getFilenames("owner/model", {"weights/*"}), (std::vector<std::string>{"weights/model.bin"}));
    EXPECT_EQ(api.getFilenames(Repo{"owner/data", RepoType::datasets}), (std::vector<std::string>{"train.csv"}));

    api.getFilenames(model, "refs/pr/1");
    EXPECT_EQ(server.requests().back().target, "/api/models/owner/model/revision/refs%2Fpr%2F1");
}

TEST_F(HubApiTest, SingleGlobAndRepositoryIdForms) {
    const HubApi api = client();
    EXPECT_EQ(sorted(api.getFilenamesMatching(model, "*.json")), sorted(api.getFilenames(model, "main", {"*.json"})));
    EXPECT_EQ(api.getFilenamesMatching("owner/model", "weights/*"), (std::vector<std::string>{"weights/model.bin"}));

    auto locations = [](const std::vector<HubApi::FileMetadata>& all) {
        std::vector<std::string> result;
        for (const auto& metadata : all) result.push_back(metadata.location);
        return sorted(result);
    };
    const std::string config = api.resolveURL(model, "main", "config.json");
    const std::string weights = api.resolveURL(model, "main", "weights/model.bin");
    EXPECT_EQ(locations(api.getFileMetadataFrom("owner/model")), locations(api.getFileMetadata(model)));
    EXPECT_EQ(locations(api.getFileMetadataFrom("owner/model", "main", {"config.json", "weights/*"})),
              sorted({config, weights}));
    EXPECT_EQ(locations(api.getFileMetadataMatching(model, "main", "config.json")), (std::vector<std::string>{config}));
    const auto stored = api.getFileMetadataMatching("owner/model", "main", "weights/*");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].size, 5000);
    EXPECT_TRUE(api.getFileMetadataMatching("owner/model", "main", "*.missing").empty());
    server.clearRequests();
    api.getFileMetadataMatching(model, "refs/pr/1", "config.json");
    EXPECT_EQ(server.requests().back().target, "/owner/model/resolve/refs%2Fpr%2F1/config.json");
}

// A redirect that leads back where it came from would be followed until the redirect limit.
TEST_F(HubApiTest, AHeadRedirectBackToTheSameURLIsNotFollowed) {
    const HubApi api = client();
    const std::string url = api.resolveURL(model, "main", "config.json");
    for (const std::string& location : {std::string(), std::string("/owner/model/resolve/main/config.json"), url}) {
        server.clearFaults();
        server.addFault({.kind = Fault::Kind::redirect, .pathContains = "config.json", .location = location});
        server.clearRequests();
        const HubApi::FileMetadata metadata = api.getFileMetadata(url);
        EXPECT_EQ(server.requests().size(), 1u) << location;
        EXPECT_EQ(metadata.location, location.empty() ? url : location);
    }
}

TEST_F(HubApiTest, BadListingsAndStatusesBecomeErrors) {
    const HubApi api = client();
    for (const char* body : {"not json", "{}", "{\"siblings\":{}}", "{\"siblings\":[{\"name\":\"x\"}]}",
                             "{\"siblings\":[{\"rfilename\":1}]}"}) {
        server.setListingBody(body);
        EXPECT_THROW(api.getFilenames(model), foundation::DecodingError) << body;
    }
    server.setListingBody(std::nullopt);

    EXPECT_EQ(failureCase([&] { api.getFilenames(Repo{"owner/absent", RepoType::models}); }),
              HubClientError::Case::fileNotFound);
    for (auto [status, expected] : {std::pair{401, HubClientError::Case::authorizationRequired},
                                    std::pair{403, HubClientError::Case::authorizationRequired},
                                    std::pair{500, HubClientError::Case::httpStatusCode}}) {
        server.clearFaults();
        server.addFault({.kind = Fault::Kind::status, .status = status});
        EXPECT_EQ(failureCase([&] { api.getFilenames(model); }), expected) << status;
        EXPECT_EQ(failureCase([&] { api.getFileMetadata(api.resolveURL(model, "main", "config.json")); }), expected)
            << status;
    }
    server.clearFaults();
    try {
        api.getFileMetadata(api.resolveURL(model, "main", "absent.json"));
        ADD_FAILURE();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.localizedDescription(), "File not found: absent.json");
    }

    // Without a server, a GET fails as a hub error and a HEAD as the URL error itself.
    const HubApi nowhere({.bmToken = "", .endpoint = "http://127.0.0.1:1", .networkMonitor = networkMonitor});
    EXPECT_EQ(failureCase([&] { nowhere.getFilenames(model); }), HubClientError::Case::downloadError);
    EXPECT_THROW(nowhere.getFileMetadata(nowhere.resolveURL(model, "main", "config.json")), foundation::URLError);
}

TEST_F(HubApiTest, PrivateRepositoriesNeedTheToken) {
    HubServer::Options options;
    options.root = repos.path();
    options.requiredToken = "secret";
    HubServer privateServer(options);
    auto api = [&](std::string token) {
        return HubApi({.bmToken = token, .endpoint = privateServer.baseURL(), .networkMonitor = networkMonitor});
    };
    EXPECT_EQ(api("secret").getFilenames(model).size(), 4u);
    EXPECT_EQ(api("secret\n").getFilenames(model).size(), 4u) << "a token file's line end is not part of the token";
    EXPECT_EQ(failureCase([&] { api("").getFilenames(model); }), HubClientError::Case::authorizationRequired);
    EXPECT_EQ(failureCase([&] { api("wrong").getFilenames(model); }), HubClientError::Case::authorizationRequired);
    const size_t sent = privateServer.requests().size();
    EXPECT_EQ(failureCase([&] { api("secret\r\nX-Injected: 1").getFilenames(model); }),
              HubClientError::Case::authorizationRequired);
    EXPECT_EQ(privateServer.requests().size(), sent) << "a token with a line break was sent";
}

TEST_F(HubApiTest, FileMetadataComesFromTheHeadersOfAHead) {
    const HubApi api = client();
    const std::string config = api.resolveURL(model, "main", "config.json");
    auto small = api.getFileMetadata(config);
    EXPECT_EQ(small.location, config);
    EXPECT_EQ(small.size, 24);
    EXPECT_EQ(small.etag, server.etag("owner/model", "config.json"));
    EXPECT_EQ(small.etag->size(), 40u);
    EXPECT_EQ(small.commitHash->size(), 40u);
    EXPECT_FALSE(small.qolFileData);

    const std::string weights = api.resolveURL(model, "main", "weights/model.bin");
    server.setRedirect(HubServer::Redirect::absolute);
    auto stored = api.getFileMetadata(weights);
    EXPECT_EQ(stored.location.rfind(server.storageURL() + "/storage/owner/model/resolve/main/weights/model.bin", 0), 0u);
    EXPECT_EQ(stored.size, 5000) << "X-Linked-Size, not the redirect's own length";
    EXPECT_EQ(stored.etag, server.etag("owner/model", "weights/model.bin"));
    EXPECT_EQ(stored.etag->size(), 64u);
    ASSERT_TRUE(stored.qolFileData);
    EXPECT_EQ(stored.qolFileData->fileHash, *stored.etag);

    server.setRedirect(HubServer::Redirect::relative);
    server.clearRequests();
    auto followed = api.getFileMetadata(weights);
    EXPECT_EQ(followed.location, server.baseURL() + "/api/resolve-cache/owner/model/resolve/main/weights/model.bin");
    EXPECT_EQ(followed.etag, stored.etag);
    auto log = server.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].method, "HEAD") << "the relative redirect was followed with a body-carrying request";
    EXPECT_EQ(server.bodyBytesSent(), 0u);

    // Header quirks: a weak etag, a size with a letter, an X-Linked-Size that hides Content-Length.
    server.setRedirect(HubServer::Redirect::none);
    server.setResponseHeaders("config.json", {{"ETag", "W/\"abc\""}, {"X-Linked-Size", "12a"}});
    auto odd = api.getFileMetadata(config);
    EXPECT_EQ(odd.etag, "abc");
    EXPECT_EQ(odd.size, std::nullopt);
    EXPECT_EQ(api.getFileMetadata(Repo{"owner/model", RepoType::models}, "main", {"*.json"}).size(), 3u);
}

TEST_F(HubApiTest, HeaderHelpers) {
    EXPECT_EQ(HubApi::normalizeEtag(std::nullopt), std::nullopt);
    EXPECT_EQ(HubApi::normalizeEtag("\"\"\""), "");
    EXPECT_EQ(HubApi::normalizeEtag("W/\"x\""), "x");
    EXPECT_EQ(HubApi::normalizeEtag("\"x\""), "x");

    hub::HTTPURLResponse response;
    response.allHeaderFields = {{"Link", "<https://a/next>; rel=\"next\", <https://a/auth>; rel=\"qol-auth\""}};
    EXPECT_EQ(HubApi::getLinkURL(response, "qol-auth"), "https://a/auth");
    EXPECT_EQ(HubApi::getLinkURL(response, "next"), "https://a/next");
    response.allHeaderFields = {{"link", ">https://a/x<; rel=qol-auth"}};
    EXPECT_EQ(HubApi::getLinkURL(response, "qol-auth"), std::nullopt);

    const std::string route = std::string(HubApi::defaultEndpoint) + "/api/refresh/x";
    response.allHeaderFields = {{"x-qol-hash", "h"}, {"X-Qol-Refresh-Route", route}};
    auto data = HubApi::parseQolFileDataFromResponse(&response, "http://mirror.test/");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->refreshRoute, "http://mirror.test/api/refresh/x");
    response.allHeaderFields = {{"x-qol-hash", "h"}, {"X-Qol-Refresh-Route", "/relative"}};
    EXPECT_EQ(HubApi::parseQolFileDataFromResponse(&response, "http://mirror.test")->refreshRoute, "/relative");
    response.allHeaderFields = {{"X-Qol-Refresh-Route", "/relative"}};
    EXPECT_FALSE(HubApi::parseQolFileDataFromResponse(&response, std::nullopt));
    EXPECT_FALSE(HubApi::parseQolFileDataFromResponse(nullptr, std::nullopt));
}

TEST_F(HubApiTest, AccountQueryAndConfigurationFiles) {
    const HubApi anonymous({.endpoint = server.baseURL(), .networkMonitor = networkMonitor});
    if (!anonymous.bmToken) {
        server.clearRequests();
        EXPECT_EQ(failureCase([&] { anonymous.whoami(); }), HubClientError::Case::authorizationRequired);
        EXPECT_TRUE(server.requests().empty());
    }

    const HubApi api = client();
    const auto folder = cache.path() / "models" / "owner" / "model";
    cache.write("models/owner/model/config.json", "{\"model_type\":\"whisper\"}");
    cache.write("models/owner/model/broken.json", "{\"a\":");
    EXPECT_EQ(api.configuration("config.json", model)["modelType"].string(), "whisper");
    try {
        api.configuration(folder / "broken.json");
        ADD_FAILURE();
    } catch (const HubClientError& error) {
        EXPECT_EQ(error.errorCase(), HubClientError::Case::jsonSerialization);
        EXPECT_NE(error.localizedDescription().find(". If this is a private model, verify that BM_TOKEN is set."),
                  std::string::npos);
    }
    EXPECT_THROW(api.configuration(folder / "absent.json"), foundation::FileError);
}

}  // namespace
