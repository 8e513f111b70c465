// The model downloader against the loopback hub: model folder, cache, download and refusals.
#include <gtest/gtest.h>

#include <filesystem>

#include "HubServer/HubServer.hpp"
#include "PelluxCore/ModelDownloader.hpp"

using namespace pellux;
namespace fs = std::filesystem;

namespace {

class ModelDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        repos.write("owner/models/encoder/v1/small/Encoder.mlmodelc/model.json", "{}");
        repos.write("owner/models/encoder/v1/large/Encoder.mlmodelc/model.json", "{}");
        repos.write("owner/models/decoder/v1/small/Decoder.mlmodelc/model.json", "{}");
    }
    ModelDownloader downloader() const { return ModelDownloader(server.baseURL(), "owner/models"); }

    hubtest::TemporaryFolder repos;
    hubtest::TemporaryFolder cache;
    hubtest::HubServer server{{.root = repos.path()}};
};

}  // namespace

TEST_F(ModelDownloaderTest, ModelInfo) {
    ModelInfo bare{.version = std::nullopt, .variant = std::nullopt, .name = "encoder"};
    EXPECT_EQ(bare.downloadPattern(), "encoder/*/*/*");
    EXPECT_EQ(bare.description(), "encoder");
    EXPECT_EQ(bare.debugDescription(), "ModelInfo(name: encoder, version: nil, variant: nil, computeUnit: all)");
    ModelInfo full{.version = "v1", .variant = "small", .name = "encoder"};
    EXPECT_EQ(full.downloadPattern(), "encoder/v1/small/*");
    EXPECT_EQ(full.modelURL("/base"), fs::path("/base/encoder/v1/small"));
    EXPECT_EQ(full.description(), "encoder/v1/small");
    EXPECT_EQ(full.findBaseFolder("/a/b/encoder/v1/small"), fs::path("/a/b"));
    EXPECT_EQ(full.findBaseFolder("/a/b/c"), std::nullopt);
}

TEST_F(ModelDownloaderTest, ResolvesFromFolderCacheOrDownload) {
    ModelInfo info{.version = "v1", .variant = "small", .name = "encoder"};
    auto d = downloader();

    // Nothing on disk and no download allowed: refused, no state reported.
    std::vector<ModelState> states;
    auto record = [&](ModelState s) { states.push_back(s); };
    try {
        d.resolveModel("Encoder", info, std::nullopt, cache.path(), false, record);
        ADD_FAILURE();
    } catch (const ModelDownloaderError& error) {
        EXPECT_EQ(error.message(), "No model found for Encoder (download disabled)");
    }
    EXPECT_TRUE(states.empty());

    // Downloaded once, then found in the cache.
    const fs::path url = d.resolveModel("Encoder", info, std::nullopt, cache.path(), true, record);
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
    EXPECT_TRUE(fs::exists(url / "model.json"));
    EXPECT_FALSE(fs::exists(d.localRepoLocation(cache.path()) / "encoder/v1/large"));
    EXPECT_EQ(d.resolveModel("Encoder", info, std::nullopt, cache.path(), false), url);

    // A model folder holding it wins over the cache.
    hubtest::TemporaryFolder own;
    own.write("encoder/v1/small/Encoder.mlmodelc/model.json", "{}");
    EXPECT_EQ(d.resolveModel("Encoder", info, own.path(), cache.path(), false),
              own.path() / "encoder/v1/small/Encoder.mlmodelc");

    // A model the repository does not have.
    ModelInfo missing{.version = std::nullopt, .variant = std::nullopt, .name = "absent"};
    try {
        d.downloadModel(missing, cache.path());
        ADD_FAILURE();
    } catch (const ModelDownloaderError& error) {
        EXPECT_EQ(error.message(), "No models found matching \"absent/*/*/*\" in owner/models");
    }
}

TEST_F(ModelDownloaderTest, ResolvesRepositories) {
    auto d = downloader();
    EXPECT_EQ(d.resolveRepo({}, cache.path(), false), d.localRepoLocation(cache.path()));
    EXPECT_ANY_THROW(d.resolveRepo({"decoder/v1/*"}, cache.path(), false));
    const fs::path folder = d.resolveRepo({"decoder/v1/*"}, cache.path(), true);
    EXPECT_TRUE(fs::exists(folder / "decoder/v1/small/Decoder.mlmodelc/model.json"));
    EXPECT_EQ(d.resolveRepo({"decoder/v1/*"}, cache.path(), false), folder);  // now local
    // A pattern that starts with a wildcard never counts as present.
    EXPECT_ANY_THROW(d.resolveRepo({"*/v1/*"}, cache.path(), false));
    EXPECT_EQ(d.fetchFilenames({"encoder/*"}, cache.path()).size(), 2u);
}
