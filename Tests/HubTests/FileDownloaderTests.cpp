#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "LoopbackHub.hpp"

namespace {

using hub::HubApi;
using hub::Hub::HubClientError;
using hub::Hub::Repo;
using hub::Hub::RepoType;
using hubtest::HubServer;
using Fault = HubServer::Fault;
namespace fs = std::filesystem;

constexpr size_t kWeightsSize = 300'000;

class FileDownloaderTest : public hubnettests::LoopbackHub {
protected:
    FileDownloaderTest() : LoopbackHub({.linkedThreshold = 100'000}), weights(hubtest::patternBytes(kWeightsSize, 3)) {
        repos.write("owner/model/config.json", "{\"a\":1}");
        repos.write("owner/model/weights.bin", weights);
    }

    HubApi::HubFileDownloader downloader(const std::string& file) const {
        const HubApi api = client();
        const fs::path folder = api.localRepoLocation(repo);
        return {api, repo, "main", folder, metadataFolder("owner/model"), file, api.bmToken, api.endpoint, false};
    }
    size_t gets() const {
        size_t count = 0;
        for (const auto& request : server.requests()) count += request.method == "GET";
        return count;
    }
    std::string metadata(const std::string& file) const {
        return foundation::readFile(metadataFolder("owner/model") / (file + ".metadata"));
    }
    fs::path partial(const std::string& file, const std::string& etag) const {
        return metadataFolder("owner/model") / (file + "." + etag + ".incomplete");
    }

    const Repo repo{"owner/model", RepoType::models};
    std::string weights;
};

TEST_F(FileDownloaderTest, ReusesACurrentFileByCommitEtagOrContent) {
    for (const char* file : {"config.json", "weights.bin"}) downloader(file).download();
    EXPECT_EQ(gets(), 2u);
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
    const std::string written = metadata("weights.bin");

    server.clearRequests();
    for (const char* file : {"config.json", "weights.bin"}) downloader(file).download();
    EXPECT_EQ(gets(), 0u) << "same commit";
    EXPECT_EQ(metadata("weights.bin"), written) << "rule 1 rewrote the metadata";

    server.setCommit(std::string(40, 'c'));
    downloader("weights.bin").download();
    EXPECT_EQ(gets(), 0u) << "same etag under a new commit";
    EXPECT_EQ(metadata("weights.bin").substr(0, 41), std::string(40, 'c') + "\n");

    fs::remove(metadataFolder("owner/model") / "weights.bin.metadata");
    downloader("weights.bin").download();
    EXPECT_EQ(gets(), 0u) << "a SHA-256 etag that matches the file's content";
    EXPECT_TRUE(fs::exists(metadataFolder("owner/model") / "weights.bin.metadata"));

    fs::remove(metadataFolder("owner/model") / "config.json.metadata");
    downloader("config.json").download();
    EXPECT_EQ(gets(), 1u) << "a 40-digit etag says nothing about the content";
}

TEST_F(FileDownloaderTest, ResumesAPartialFileOfTheSameEtag) {
    const std::string etag = server.etag("owner/model", "weights.bin");
    fs::create_directories(metadataFolder("owner/model"));
    cache.write(partial("weights.bin", etag).lexically_relative(cache.path()), weights.substr(0, 120'000));
    std::vector<double> fractions;
    downloader("weights.bin").download([&](double fraction, std::optional<double>) { fractions.push_back(fraction); });
    ASSERT_FALSE(fractions.empty());
    EXPECT_EQ(fractions.front(), 0.4);
    EXPECT_EQ(server.requests().back().range, "bytes=120000-");
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
    EXPECT_FALSE(fs::exists(partial("weights.bin", etag)));
}

TEST_F(FileDownloaderTest, AChangedEtagStartsAFreshPartialFileAndLeavesTheOldOne) {
    const std::string oldEtag = server.etag("owner/model", "weights.bin");
    fs::create_directories(metadataFolder("owner/model"));
    cache.write(partial("weights.bin", oldEtag).lexically_relative(cache.path()), weights.substr(0, 1000));
    // A new upload: its etag is the new bytes' SHA-256.
    weights = hubtest::patternBytes(kWeightsSize + 1000, 4);
    repos.write("owner/model/weights.bin", weights);
    const std::string newEtag = server.etag("owner/model", "weights.bin");
    ASSERT_NE(newEtag, oldEtag);
    downloader("weights.bin").download();
    EXPECT_EQ(server.requests().back().range, std::nullopt);
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
    EXPECT_TRUE(foundation::readFile(partial("weights.bin", oldEtag)) == hubtest::patternBytes(1000, 3));
    EXPECT_EQ(metadata("weights.bin").substr(41, newEtag.size()), newEtag);
}

TEST_F(FileDownloaderTest, ServerAnswersThatCannotBeTrustedAreRefused) {
    auto refused = [&](const std::string& file) -> std::string {
        try {
            downloader(file).download();
        } catch (const HubApi::EnvironmentError& error) {
            return error.localizedDescription();
        }
        return "accepted";
    };
    server.setResponseHeaders("weights.bin", {{"X-Linked-Size", "12a"}});
    EXPECT_EQ(refused("weights.bin"), "Invalid metadata: File metadata must have been retrieved from server");

    server.setResponseHeaders("config.json", {{"ETag", "\"../../../../escaped\""}});
    EXPECT_NE(refused("config.json").find("cannot name a partial file"), std::string::npos);
    EXPECT_EQ(refused("../outside.json").rfind("Invalid metadata: The file name", 0), 0u);
    EXPECT_EQ(gets(), 0u);
    for (const auto& entry : fs::recursive_directory_iterator(cache.path()))
        EXPECT_TRUE(entry.is_directory()) << "left behind: " << entry.path();
}

TEST_F(FileDownloaderTest, ACurrentFileIsReturnedEvenWhenTheServerOmitsItsSize) {
    downloader("weights.bin").download();
    server.setResponseHeaders("weights.bin", {{"X-Linked-Size", ""}});
    server.clearRequests();
    EXPECT_EQ(downloader("weights.bin").download(), cache.path() / "models" / "owner" / "model" / "weights.bin");
    EXPECT_EQ(gets(), 0u);
}

TEST_F(FileDownloaderTest, StoppingMidTransferKeepsThePartialFileForTheNextRun) {
    const std::string etag = server.etag("owner/model", "weights.bin");
    server.addFault({.kind = Fault::Kind::stall, .bytes = 50'000, .times = 1});
    std::stop_source stop;
    auto running = std::async(std::launch::async, [&] { return downloader("weights.bin").download({}, stop.get_token()); });
    // Bytes reach the partial file as they arrive; stop once the stall point is reached.
    for (int i = 0; i < 500 && hubtest::fileSize(partial("weights.bin", etag)) < 50'000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.request_stop();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(running.get(), cache.path() / "models" / "owner" / "model" / "weights.bin");
    EXPECT_FALSE(fs::exists(cache.path() / "models" / "owner" / "model" / "weights.bin"));
    EXPECT_FALSE(fs::exists(metadataFolder("owner/model") / "weights.bin.metadata"));
    EXPECT_TRUE(foundation::readFile(partial("weights.bin", etag)) == weights.substr(0, 50'000));

    downloader("weights.bin").download();
    EXPECT_EQ(server.requests().back().range, "bytes=50000-");
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
}

// The hub's etag of a stored file is its SHA-256: bytes that do not match it never reach the file's place,
// the partial file goes (nothing wrong is resumed from) and no metadata marks the file current.
TEST_F(FileDownloaderTest, BytesThatDoNotMatchTheAnnouncedDigestAreRemoved) {
    std::string other = hubtest::patternBytes(kWeightsSize, 9);
    repos.write("owner/model/other.bin", other);
    server.setResponseHeaders("other.bin", {{"X-Linked-Etag", "\"" + server.etag("owner/model", "weights.bin") + "\""}});
    std::string damagedPrefix = weights.substr(0, 120'000);
    damagedPrefix[10] ^= 1;
    struct Case {
        const char* name;
        std::string file;
        std::optional<std::string> partialFile;
        std::optional<Fault> fault;
    } cases[] = {
        {"one flipped byte", "weights.bin", std::nullopt, Fault{.kind = Fault::Kind::corrupt, .bytes = 123'456, .times = 1}},
        {"another file's bytes", "other.bin", std::nullopt, std::nullopt},
        {"a resumed body that is wrong", "weights.bin", weights.substr(0, 120'000),
         Fault{.kind = Fault::Kind::corrupt, .bytes = 200'000, .times = 1}},
        {"a partial file that is wrong", "weights.bin", damagedPrefix, std::nullopt},
    };
    const std::string etag = server.etag("owner/model", "weights.bin");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        if (c.fault) server.addFault(*c.fault);
        fs::create_directories(metadataFolder("owner/model"));
        if (c.partialFile) cache.write(partial(c.file, etag).lexically_relative(cache.path()), *c.partialFile);
        try {
            downloader(c.file).download();
            ADD_FAILURE() << "accepted";
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.errorCase(), HubApi::EnvironmentError::Case::fileIntegrityError);
            EXPECT_NE(error.localizedDescription().find("Hash mismatch for " + c.file), std::string::npos)
                << error.localizedDescription();
        }
        EXPECT_FALSE(fs::exists(cache.path() / "models" / "owner" / "model" / c.file));
        EXPECT_FALSE(fs::exists(metadataFolder("owner/model") / (c.file + ".metadata")));
        EXPECT_FALSE(fs::exists(partial(c.file, etag)));
    }
    server.clearRequests();
    downloader("weights.bin").download();
    EXPECT_EQ(server.requests().back().range, std::nullopt) << "a fresh transfer";
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
}

// One transfer of the whole body shows the announced size is wrong; fetching it again would not change that.
TEST_F(FileDownloaderTest, AWrongAnnouncedSizeIsOneFailureNamingBothSizes) {
    for (const char* announced : {"200000", "400000"}) {
        SCOPED_TRACE(announced);
        const std::string file = std::string("announced-") + announced + ".bin";
        repos.write("owner/model/" + file, weights);
        server.setResponseHeaders(file, {{"X-Linked-Size", announced}});
        server.clearRequests();
        try {
            downloader(file).download();
            ADD_FAILURE() << "accepted";
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.localizedDescription(), "File integrity check failed: Size mismatch for " + file +
                                                        ": the hub announced " + announced +
                                                        " bytes, the download has 300000");
        }
        EXPECT_EQ(gets(), 1u);
        EXPECT_LE(server.bodyBytesSent(), kWeightsSize);
        EXPECT_FALSE(fs::exists(cache.path() / "models" / "owner" / "model" / file));
    }
}

TEST_F(FileDownloaderTest, AFailedFileRequestKeepsItsCause) {
    // The resolve URL sends the client to the storage host, where the faults are.
    server.setRedirect(HubServer::Redirect::absolute);
    struct Case {
        Fault fault;
        std::string error;
    } cases[] = {
        {{.kind = Fault::Kind::status, .status = 401}, "Authentication required. Please provide a valid Brindlemoor token."},
        {{.kind = Fault::Kind::status, .status = 403}, "Authentication required. Please provide a valid Brindlemoor token."},
        {{.kind = Fault::Kind::status, .status = 404}, "File not found: weights.bin"},
        {{.kind = Fault::Kind::status, .status = 500}, "HTTP error with status code: 500"},
        {{.kind = Fault::Kind::htmlPage}, "Download failed: The server sent an HTML page instead of weights.bin"},
    };
    for (Case c : cases) {
        c.fault.pathContains = "/storage/";
        server.clearFaults();
        server.addFault(c.fault);
        std::string error = "accepted";
        try {
            downloader("weights.bin").download();
        } catch (const HubClientError& e) {
            error = e.localizedDescription();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(fs::exists(cache.path() / "models" / "owner" / "model" / "weights.bin"));
    }
}

// The stored tags say which version was fetched, not that the copy on disk is still whole.
TEST_F(FileDownloaderTest, ACachedFileWhoseSizeIsNotTheHubsIsFetchedAgain) {
    for (const char* file : {"config.json", "weights.bin"}) downloader(file).download();
    const fs::path folder = cache.path() / "models" / "owner" / "model";
    fs::resize_file(folder / "config.json", 3);
    fs::resize_file(folder / "weights.bin", 1000);
    server.clearRequests();
    for (const char* file : {"config.json", "weights.bin"}) downloader(file).download();
    EXPECT_EQ(gets(), 2u);
    EXPECT_EQ(readCached("owner/model", "config.json"), "{\"a\":1}");
    EXPECT_TRUE(readCached("owner/model", "weights.bin") == weights);
}

// Names the hub serves that the cache cannot hold: the partial file's name (the file's own name plus the
// etag) or the path below the deeper metadata folder is too long.
TEST_F(FileDownloaderTest, ANameTooLongForTheCacheIsTheHubsError) {
    // Folders that make the served file's path 4080 bytes long: under the system's limit on the server,
    // over it in the cache.
    std::string deep;
    const size_t length = 4080 - (repos.path() / "owner" / "model" / "config.json").string().size();
    while (deep.size() < length) deep += std::string(std::min<size_t>(200, length - deep.size()), 'd') + "/";
    for (const std::string& name : {std::string(240, 'n') + ".json", deep + "config.json"}) {
        repos.write("owner/model/" + name, "{}");
        try {
            downloader(name).download();
            ADD_FAILURE() << "accepted";
        } catch (const HubClientError& error) {
            EXPECT_EQ(error.errorCase(), HubClientError::Case::fileSystemError) << error.describe();
        }
    }
}

}  // namespace
