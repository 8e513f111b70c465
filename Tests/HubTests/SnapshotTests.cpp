#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "LoopbackHub.hpp"

namespace {

using hub::HubApi;
using hub::NWPath;
using hub::Hub::Repo;
using hub::Hub::RepoType;
using hubtest::HubServer;
using Fault = HubServer::Fault;
namespace fs = std::filesystem;

constexpr size_t kWeightsSize = 21u << 20;  // three chunks of the transfer

class SnapshotTest : public hubnettests::LoopbackHub {
protected:
    SnapshotTest() : weights(hubtest::patternBytes(kWeightsSize, 11)) {
        repos.write("owner/model/config.json", "{\"model_type\":\"whisper\"}");
        repos.write("owner/model/tokenizer.json", "{}");
        repos.write("owner/model/weights/model.bin", weights);
    }

    std::string offlineFailure(const HubApi& api, const std::vector<std::string>& globs = {}) const {
        try {
            api.snapshot(repo, "main", globs);
        } catch (const HubApi::EnvironmentError& error) {
            return error.localizedDescription();
        }
        return "passed";
    }
    size_t gets() const {
        size_t count = 0;
        for (const auto& request : server.requests()) count += request.method == "GET";
        return count;
    }

    const Repo repo{"owner/model", RepoType::models};
    std::string weights;
};

TEST_F(SnapshotTest, FetchesTheMatchingFilesWithOverallProgress) {
    server.setRedirect(HubServer::Redirect::absolute);
    server.addFault({.kind = Fault::Kind::dropAfterBytes, .bytes = 3u << 20, .pathContains = "model.bin", .times = 1});
    std::vector<double> fractions;
    std::vector<std::optional<double>> speeds;
    int64_t total = -1;
    fs::path folder;
    try {
        folder = client("secret").snapshot(
            repo, "main", {}, [&](const foundation::Progress& progress, std::optional<double> speed) {
                fractions.push_back(progress.fractionCompleted());
                speeds.push_back(speed);
                total = progress.totalUnitCount();
            });
    } catch (const foundation::Error& error) {
        FAIL() << error.describe();
    }
    EXPECT_EQ(folder, cache.path() / "models" / "owner" / "model");
    EXPECT_TRUE(readCached("owner/model", "weights/model.bin") == weights);
    EXPECT_EQ(readCached("owner/model", "config.json"), "{\"model_type\":\"whisper\"}");
    EXPECT_EQ(total, 3);
    ASSERT_FALSE(fractions.empty());
    EXPECT_EQ(fractions.back(), 1.0);
    EXPECT_NE(std::find_if(fractions.begin(), fractions.end(), [](double f) { return std::fabs(f - 1.0 / 3) < 1e-12; }),
              fractions.end())
        << "after the first file, one third whatever the sizes";
    // Listing order: config.json, tokenizer.json, weights/model.bin; only the weights report a speed.
    EXPECT_FALSE(speeds.front());
    EXPECT_TRUE(speeds.back()) << "the last speed stays";

    const int servicePort = std::stoi(server.baseURL().substr(server.baseURL().rfind(':') + 1));
    for (const auto& request : server.requests()) {
        if (request.port == servicePort) EXPECT_EQ(request.authorization, "Bearer secret") << request.path;
        else EXPECT_EQ(request.authorization, std::nullopt) << "the token reached the storage host: " << request.path;
    }

    server.clearRequests();
    int calls = 0;
    client("secret").snapshot(repo, "main", {"*.json"}, [&](const foundation::Progress&) { ++calls; });
    EXPECT_EQ(gets(), 1u) << "only the listing: every file is current";
    EXPECT_GE(calls, 1);
}

TEST_F(SnapshotTest, PatternsThatMatchNothingReportOnce) {
    int calls = 0;
    int64_t total = -1;
    const fs::path folder = client().snapshot(Repo{"owner/model", RepoType::models}, "main", {"*.missing"},
                                              [&](const foundation::Progress& progress) {
                                                  ++calls;
                                                  total = progress.totalUnitCount();
                                              });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(total, 0);
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(SnapshotTest, OfflineChecksTheCacheWithoutTheNetwork) {
    const HubApi offline = client(std::nullopt, true);
    EXPECT_EQ(offlineFailure(offline), "Offline mode error: Repository not available locally");
    fs::create_directories(metadataFolder("owner/model"));
    EXPECT_EQ(offlineFailure(offline), "Offline mode error: No files available locally for this repository");

    client().snapshot(repo);
    server.clearRequests();
    EXPECT_EQ(offlineFailure(offline), "passed");

    fs::remove(metadataFolder("owner/model") / "config.json.metadata");
    EXPECT_EQ(offlineFailure(offline, {"weights/*"}), "Offline mode error: Metadata not available for config.json")
        << "every cached file is checked, matching or not";
    client().snapshot(repo);
    server.clearRequests();

    {
        std::string changed = weights;
        changed[12345] ^= 1;
        cache.write("models/owner/model/weights/model.bin", changed);
    }
    EXPECT_EQ(offlineFailure(offline), "File integrity check failed: Hash mismatch for model.bin");
    EXPECT_TRUE(server.requests().empty()) << "offline reached the service";
}

TEST_F(SnapshotTest, TheMonitorDecidesOnlyWhenTheSettingIsAbsent) {
    monitor->send({.status = NWPath::Status::unsatisfied});
    EXPECT_EQ(offlineFailure(client()), "Offline mode error: Repository not available locally");
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(offlineFailure(client(std::nullopt, false)), "passed");
    EXPECT_FALSE(server.requests().empty());
    monitor->send({.status = NWPath::Status::satisfied});
    server.clearRequests();
    client().snapshot(repo);
    EXPECT_FALSE(server.requests().empty());
}

TEST_F(SnapshotTest, NamesThatWouldLeaveTheRepositoryFolderAreRefusedBeforeAnythingIsFetched) {
    for (const char* name : {"../../escaped.json", "/etc/passwd", "a//b.json", "a/./b.json", "ok/..", "nul\\u0000.json"}) {
        server.setListingBody(std::string("{\"siblings\":[{\"rfilename\":\"config.json\"},{\"rfilename\":\"") + name +
                              "\"}]}");
        EXPECT_THROW(client().snapshot(repo), HubApi::EnvironmentError) << name;
    }
    EXPECT_EQ(gets(), 6u) << "only listings";
    EXPECT_FALSE(fs::exists(cache.path() / "models"));
    EXPECT_THROW(client().snapshot(Repo{"../owner", RepoType::models}), HubApi::EnvironmentError);
}

TEST_F(SnapshotTest, AStoppedSnapshotResumesWhereItStoppedAndFetchesOnlyTheRest) {
    constexpr uint64_t cut = 12u << 20;
    server.addFault({.kind = Fault::Kind::stall, .bytes = cut, .pathContains = "model.bin", .times = 1});
    const fs::path partial = metadataFolder("owner/model") / "weights" /
                             ("model.bin." + server.etag("owner/model", "weights/model.bin") + ".incomplete");
    std::stop_source stop;
    std::jthread watcher([&](std::stop_token done) {
        while (!done.stop_requested() && hubtest::fileSize(partial) < cut)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request_stop();  // the connection has stalled at the cut
    });
    const fs::path folder = client().snapshot(repo, "main", {}, HubApi::ProgressHandler{}, stop.get_token());
    watcher.request_stop();
    EXPECT_EQ(folder, cache.path() / "models" / "owner" / "model");
    EXPECT_FALSE(fs::exists(folder / "weights" / "model.bin"));
    EXPECT_EQ(hubtest::fileSize(partial), cut) << "every byte that arrived is kept";

    server.clearRequests();
    client().snapshot(repo);
    EXPECT_TRUE(readCached("owner/model", "weights/model.bin") == weights);
    const auto get = server.requests().back();
    EXPECT_EQ(get.range, "bytes=" + std::to_string(cut) + "-");
    EXPECT_EQ(get.bodyBytes, kWeightsSize - cut) << "more than the rest of the file was fetched";
}

}  // namespace
