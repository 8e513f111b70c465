#include <gtest/gtest.h>

#include <cmath>

#include "Hub/HubApi.hpp"
#include "Hub/SHA256.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/Foundation/Files.hpp"

namespace {

using hub::HubApi;
using hub::Hub::Repo;
using hub::Hub::RepoType;
namespace fs = std::filesystem;

class CacheTest : public ::testing::Test {
protected:
    hubtest::TemporaryFolder folder;
    HubApi api{{.downloadBase = folder.path() / "base",
                .bmToken = "",
                .endpoint = "http://127.0.0.1:1",
                .networkMonitor = std::make_shared<hub::NetworkMonitor>(std::make_unique<hub::ManualPathMonitor>())}};
};

TEST_F(CacheTest, MetadataFilesRoundTripAndCreateTheirFolders) {
    const fs::path path = folder.path() / "meta" / "deep" / "weights.bin.metadata";
    const double before = std::floor(foundation::timeIntervalSince1970(std::chrono::system_clock::now()));
    api.writeDownloadMetadata(std::string(40, 'a'), "etag-1", path);
    auto metadata = api.readDownloadMetadata(path);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->commitHash, std::string(40, 'a'));
    EXPECT_EQ(metadata->etag, "etag-1");
    EXPECT_EQ(metadata->filename, "weights.bin");
    EXPECT_GE(foundation::timeIntervalSince1970(metadata->timestamp), before);

    const std::string text = foundation::readFile(path);
    EXPECT_EQ(text.substr(0, 48), std::string(40, 'a') + "\netag-1\n");
    EXPECT_NE(text.find('.', 48), std::string::npos) << "the time always carries a fraction part: " << text;
    EXPECT_EQ(text.back(), '\n');

    folder.write("a.metadata.json.metadata", "c\ne\n12.5\nextra\nlines\n");
    auto named = api.readDownloadMetadata(folder.path() / "a.metadata.json.metadata");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->filename, "a.json");
    EXPECT_EQ(foundation::timeIntervalSince1970(named->timestamp), 12.5);
    EXPECT_EQ(api.readDownloadMetadata(folder.path() / "absent.metadata"), std::nullopt);
}

TEST_F(CacheTest, UnusableMetadataFilesAreRemoved) {
    for (const std::string& contents : {std::string("c\ne"), std::string("c\ne\n"), std::string("c\r\ne\r\n1.0\r\n"),
                                       std::string("c\ne\nsoon\n"), std::string("c\ne\ninf\n"),
                                       std::string("c\ne\n1.0\xFF\n")}) {
        const fs::path file = folder.write("x.metadata", contents);
        EXPECT_EQ(api.readDownloadMetadata(file), std::nullopt) << contents;
        EXPECT_FALSE(fs::exists(file)) << contents;
    }
    // A "metadata file" that cannot be removed (a folder with something in it) is reported.
    folder.write("stuck.metadata/inside", "x");
    try {
        api.readDownloadMetadata(folder.path() / "stuck.metadata");
        ADD_FAILURE();
    } catch (const HubApi::EnvironmentError& error) {
        EXPECT_EQ(error.errorCase(), HubApi::EnvironmentError::Case::invalidMetadataError);
        EXPECT_EQ(error.message().rfind("Could not remove corrupted metadata file: ", 0), 0u);
    }
    EXPECT_THROW(api.writeDownloadMetadata("c", "e", folder.path() / "stuck.metadata" / "inside" / "x.metadata"),
                 HubApi::EnvironmentError);
}

TEST_F(CacheTest, HashPatternsAndDigests) {
    const std::string sha = std::string(64, 'f');
    EXPECT_TRUE(HubApi::isValidHash(sha, HubApi::sha256Pattern));
    EXPECT_FALSE(HubApi::isValidHash(std::string(40, 'f'), HubApi::sha256Pattern));
    EXPECT_FALSE(HubApi::isValidHash(std::string(64, 'F'), HubApi::sha256Pattern));
    EXPECT_FALSE(HubApi::isValidHash("", HubApi::sha256Pattern));
    EXPECT_TRUE(HubApi::isValidHash(std::string(40, '0'), HubApi::commitHashPattern));
    EXPECT_FALSE(HubApi::isValidHash("abc", "(unclosed"));

    EXPECT_EQ(HubApi::computeFileHash(folder.write("empty", "")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HubApi::computeFileHash(folder.write("abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string big(3u << 20, 'a');  // several 1 MiB pieces
    EXPECT_EQ(HubApi::computeFileHash(folder.write("big", big)),
              "6f850bc94ae6f7de14297c01616c36d712d22864497b28a63b81d776b035e656");
    EXPECT_THROW(HubApi::computeFileHash(folder.path() / "absent"), hub::Hub::HubClientError);
}

// Fed in pieces that straddle its blocks, past the bound of waiting bytes, and started over midway.
TEST(BackgroundSHA256, MatchesTheDigestOfTheWholeInput) {
    const std::string big(3u << 20, 'a');
    hub::BackgroundSHA256 digest(1u << 20);
    digest.update("discarded");
    digest.reset();
    for (size_t at = 0; at < big.size(); at += 300'007) digest.update(std::string_view(big).substr(at, 300'007));
    EXPECT_EQ(digest.hexDigest(), "6f850bc94ae6f7de14297c01616c36d712d22864497b28a63b81d776b035e656");
    EXPECT_EQ(hub::BackgroundSHA256().hexDigest(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

std::string oneShotDigest(std::string_view bytes) {
    hub::SHA256 digest;
    digest.update(bytes);
    return digest.hexDigest();
}

// Bytes that differ from block to block, so a block hashed twice, skipped, out of order or overwritten
// before it was hashed changes the digest.
TEST(BackgroundSHA256, EveryByteIsHashedOnceInOrderWhateverThePiecesAndTheBound) {
    constexpr size_t block = hub::BackgroundSHA256::blockSize;
    const std::string input = hubtest::patternBytes(9 * block + 12'345, 3);
    struct Case {
        const char* name;
        size_t size;
        size_t piece;
        size_t maximumPending;
    } cases[] = {
        {"nothing", 0, 1, 16u << 20},
        {"one byte", 1, 1, 16u << 20},
        {"byte by byte across a block boundary", block + 100, 1, 16u << 20},
        {"exactly one block", block, block, 16u << 20},
        {"a byte short of a block, then more", 3 * block, block - 1, 16u << 20},
        {"a byte past a block", 3 * block, block + 1, 16u << 20},
        {"one piece of many blocks", input.size(), input.size(), 16u << 20},
        {"odd pieces, smallest bound (two blocks)", input.size(), 300'007, 0},
        {"whole blocks, smallest bound", input.size(), block, 1},
        {"odd pieces, bound of three blocks", input.size(), 65'537, 3 * block},
    };
    for (const Case& c : cases) {
        const std::string_view bytes = std::string_view(input).substr(0, c.size);
        hub::BackgroundSHA256 digest(c.maximumPending);
        for (size_t at = 0; at < bytes.size(); at += c.piece) digest.update(bytes.substr(at, c.piece));
        EXPECT_EQ(digest.hexDigest(), oneShotDigest(bytes)) << c.name;
    }
}

// Starting over drops whatever still waits to be hashed, whether it filled many blocks or part of one; a
// digest dropped with blocks still waiting stops its worker cleanly.
TEST(BackgroundSHA256, ResetForgetsEverythingFedBefore) {
    constexpr size_t block = hub::BackgroundSHA256::blockSize;
    const std::string before = hubtest::patternBytes(20 * block + 5, 4);
    const std::string after = hubtest::patternBytes(5 * block + 77, 5);
    for (size_t maximumPending : {2 * block, size_t(16) << 20})
        for (size_t fed : {size_t(0), size_t(10), block, 6 * block + 1, before.size()}) {
            // Fed again into blocks already in use, faster than they are hashed: with the larger bound
            // several blocks still wait at each reset.
            hub::BackgroundSHA256 digest(maximumPending);
            for (int round = 0; round < 3; ++round) {
                digest.update(std::string_view(before).substr(0, fed));
                digest.reset();
            }
            digest.reset();
            for (size_t at = 0; at < after.size(); at += 100'003)
                digest.update(std::string_view(after).substr(at, 100'003));
            EXPECT_EQ(digest.hexDigest(), oneShotDigest(after)) << fed << " bytes fed before the reset";

            hub::BackgroundSHA256 abandoned(maximumPending);
            abandoned.update(std::string_view(before).substr(0, fed));
        }
}

TEST_F(CacheTest, RepositoryFoldersStayInsideTheDownloadBase) {
    EXPECT_EQ(api.localRepoLocation(Repo{"owner/name", RepoType::datasets}),
              folder.path() / "base" / "datasets" / "owner" / "name");
    EXPECT_EQ(api.localRepoLocation(Repo{"name", RepoType::models}), folder.path() / "base" / "models" / "name");
    for (const std::string& id : {std::string("../escape"), std::string("/etc"), std::string("a/../../b"),
                                 std::string("a//b"), std::string("a/./b"), std::string(""), std::string("a/b/"),
                                 std::string("a\0b", 3)})
        EXPECT_THROW(api.localRepoLocation(Repo{id, RepoType::models}), HubApi::EnvironmentError) << id;
}

}  // namespace
