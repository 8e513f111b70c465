#include <gtest/gtest.h>

#include <thread>

#include "Hub/Downloader.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/Foundation/Files.hpp"

namespace {

using hub::Downloader;
using hubtest::HubServer;
using Fault = HubServer::Fault;
using State = Downloader::DownloadState;
namespace fs = std::filesystem;

constexpr size_t kFileSize = 1'000'000;

class DownloaderTest : public ::testing::Test {
protected:
    DownloaderTest() : bytes(hubtest::patternBytes(kFileSize, 7)) {
        repos.write("owner/repo/weights.bin", bytes);
        repos.write("owner/repo/small.txt", "hello");
    }

    std::string url(const std::string& file = "weights.bin") const {
        return server.baseURL() + "/owner/repo/resolve/main/" + file;
    }
    fs::path destination() const { return work.path() / "weights.bin"; }
    fs::path partial() const { return work.path() / "weights.bin.etag.incomplete"; }

    // Runs one transfer to its end (or 30 s) and returns every state it reported.
    std::vector<State> run(Downloader::Params params, std::optional<int64_t> expected = kFileSize,
                           const std::string& file = "weights.bin", std::optional<std::string> token = std::nullopt) {
        if (!fs::exists(partial())) work.write(partial().filename(), "");
        Downloader downloader(destination(), partial(), params);
        auto stream = downloader.download(url(file), token, expected);
        std::stop_source deadline;
        std::jthread watchdog([&](std::stop_token done) {
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            wake.wait_for(lock, done, std::chrono::seconds(30), [] { return false; });
            if (!done.stop_requested()) deadline.request_stop();
        });
        std::vector<State> states;
        while (auto state = stream.next(deadline.get_token())) {
            states.push_back(*state);
            if (state->as<State::Completed>() || state->as<State::Failed>()) break;
        }
        return states;
    }

    static Downloader::Params quick(int64_t chunkSize = Downloader::defaultChunkSize) {
        return {.chunkSize = chunkSize, .timeout = 2, .retryPause = std::chrono::milliseconds(10)};
    }

    static std::vector<double> fractions(const std::vector<State>& states) {
        std::vector<double> result;
        for (const State& state : states)
            if (auto* downloading = state.as<State::Downloading>()) result.push_back(downloading->fraction);
        return result;
    }
    static size_t failures(const std::vector<State>& states) {
        return std::count_if(states.begin(), states.end(), [](const State& s) { return s.as<State::Failed>() != nullptr; });
    }
    static bool completed(const std::vector<State>& states) {
        return !states.empty() && states.back().as<State::Completed>() != nullptr;
    }
    std::vector<std::optional<std::string>> ranges() const {
        std::vector<std::optional<std::string>> result;
        for (const auto& request : server.requests())
            if (request.method == "GET") result.push_back(request.range);
        return result;
    }

    std::string bytes;
    hubtest::TemporaryFolder repos;
    hubtest::TemporaryFolder work;
    HubServer server{{.root = repos.path(), .linkedThreshold = 500'000}};
};

TEST_F(DownloaderTest, ASmallFileReportsItsStartThenCompletion) {
    auto states = run(quick(), 5, "small.txt");
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].description(), "downloading(0.0, nil)");
    EXPECT_EQ(states[1].description(), "completed(\"" + destination().string() + "\")");
    EXPECT_EQ(foundation::readFile(destination()), "hello");
    EXPECT_FALSE(fs::exists(partial()));
}

TEST_F(DownloaderTest, ReportsProgressAndSpeedAfterEveryChunk) {
    auto states = run(quick(250'000));
    ASSERT_TRUE(completed(states)) << states.back().description();
    EXPECT_EQ(fractions(states), (std::vector<double>{0, 0.25, 0.5, 0.75, 1.0}));
    EXPECT_TRUE(states[1].as<State::Downloading>()->speed.has_value());
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);

    auto unknownSize = run(quick(250'000), std::nullopt);
    EXPECT_EQ(fractions(unknownSize), (std::vector<double>{0})) << "no progress without an expected size";
    auto zero = run(quick(250'000), 0);
    EXPECT_GT(fractions(zero).size(), 4u);
    for (double fraction : fractions(zero)) EXPECT_EQ(fraction, 0);
    EXPECT_EQ(failures(zero), 1u) << "a file longer than announced cannot complete";
}

TEST_F(DownloaderTest, ResumesThePartialFileFromItsSize) {
    work.write(partial().filename(), bytes.substr(0, 300'000));
    auto states = run(quick());
    ASSERT_TRUE(completed(states)) << states.back().description();
    EXPECT_EQ(fractions(states).front(), 0.3);
    EXPECT_EQ(ranges(), (std::vector<std::optional<std::string>>{"bytes=300000-"}));
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);
}

TEST_F(DownloaderTest, APartialFileThatCannotBeContinuedIsRestartedOrFinished) {
    struct Case {
        const char* name;
        std::string partial;
        std::optional<Fault> fault;
        std::vector<std::optional<std::string>> ranges;
    } cases[] = {
        {"range ignored", bytes.substr(0, 400'000), Fault{.kind = Fault::Kind::ignoreRange}, {"bytes=400000-"}},
        {"416 for a complete file", bytes, Fault{.kind = Fault::Kind::rangeNotSatisfiable}, {}},
        {"416 for an incomplete file", bytes.substr(0, 10), Fault{.kind = Fault::Kind::rangeNotSatisfiable, .times = 1},
         {"bytes=10-", std::nullopt}},
        {"longer than the file", bytes + "extra", std::nullopt, {std::nullopt}},
    };
    // With the digest checked too, it must cover the file as finally written: the partial bytes that were
    // kept, never those that were dropped.
    for (bool digest : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (digest ? ", digest checked" : ""));
            server.clearFaults();
            server.clearRequests();
            if (c.fault) server.addFault(*c.fault);
            fs::remove(destination());
            work.write(partial().filename(), c.partial);
            Downloader::Params params = quick();
            if (digest) params.sha256 = server.etag("owner/repo", "weights.bin");
            auto states = run(params);
            ASSERT_TRUE(completed(states)) << states.back().description();
            EXPECT_EQ(failures(states), 0u);
            EXPECT_TRUE(foundation::readFile(destination()) == bytes);
            EXPECT_EQ(ranges(), c.ranges);
        }
}

TEST_F(DownloaderTest, ABrokenTransferIsRetriedFromTheBytesThatArrived) {
    server.addFault({.kind = Fault::Kind::dropAfterBytes, .bytes = 300'000, .times = 1});
    server.addFault({.kind = Fault::Kind::stall, .bytes = 100'000, .times = 1});
    auto states = run({.chunkSize = 1 << 20, .timeout = 1.5, .retryPause = std::chrono::milliseconds(10)});
    ASSERT_TRUE(completed(states)) << states.back().description();
    EXPECT_EQ(failures(states), 0u) << "a retrying transfer reported failed";
    EXPECT_EQ(ranges(), (std::vector<std::optional<std::string>>{std::nullopt, "bytes=300000-", "bytes=400000-"}));
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);
}

TEST_F(DownloaderTest, RetriesRunOutWithoutAChunkBetweenBreaks) {
    server.addFault({.kind = Fault::Kind::dropAfterBytes, .bytes = 1000});
    auto states = run(quick(1 << 20));
    ASSERT_EQ(failures(states), 1u);
    SCOPED_TRACE(states.back().description());
    try {
        std::rethrow_exception(states.back().as<State::Failed>()->error);
    } catch (const foundation::URLError& error) {
        EXPECT_EQ(error.code(), foundation::URLError::Code::networkConnectionLost);
    }
    EXPECT_EQ(ranges().size(), 6u) << "the first try and five retries";
    EXPECT_TRUE(foundation::readFile(partial()) == bytes.substr(0, 6000)) << "every byte that arrived is kept";
    EXPECT_FALSE(fs::exists(destination()));

    server.clearFaults();
    auto resumed = run(quick());
    ASSERT_TRUE(completed(resumed)) << resumed.back().description();
    EXPECT_EQ(ranges().back(), "bytes=6000-");
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);
}

TEST_F(DownloaderTest, ErrorStatusesAndSizeMismatchesFail) {
    auto missing = run(quick(), 5, "absent.txt");
    ASSERT_EQ(failures(missing), 1u);
    EXPECT_EQ(missing.back().description(), "failed(\"File not found: absent.txt\")");
    EXPECT_EQ(ranges().size(), 1u) << "a status error is not retried";

    server.clearRequests();
    auto wrongSize = run(quick(), kFileSize + 10);
    ASSERT_EQ(failures(wrongSize), 1u);
    EXPECT_EQ(ranges().size(), 1u) << "a whole body of the wrong size is not fetched again";
    EXPECT_FALSE(fs::exists(destination())) << "a file of the wrong size reached its final place";
}

TEST_F(DownloaderTest, TheDigestCoversTheResumedPartAndWhatArrives) {
    const std::string sha256 = server.etag("owner/repo", "weights.bin");
    Downloader::Params params = quick(250'000);
    params.sha256 = sha256;
    work.write(partial().filename(), bytes.substr(0, 300'000));
    auto resumed = run(params);
    ASSERT_TRUE(completed(resumed)) << resumed.back().description();
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);

    fs::remove(destination());
    params.sha256 = std::string(64, '0');
    auto wrong = run(params);
    ASSERT_EQ(failures(wrong), 1u);
    EXPECT_EQ(wrong.back().description().rfind("failed(\"File integrity check failed: Hash mismatch for weights.bin", 0), 0u)
        << wrong.back().description();
    EXPECT_FALSE(fs::exists(destination()));
    EXPECT_FALSE(fs::exists(partial()));
}

TEST_F(DownloaderTest, CancelStopsTheTransferAndKeepsWhatArrived) {
    // Cut before the first chunk, and after several with the digest's and the flush's threads at work.
    struct Case {
        size_t stallAt;
        int64_t chunkSize;
        bool digest;
    } cases[] = {{2000, 1 << 20, false}, {600'000, 100'000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stallAt);
        server.clearFaults();
        server.addFault({.kind = Fault::Kind::stall, .bytes = c.stallAt});
        work.write(partial().filename(), "");
        Downloader::Params params = quick(c.chunkSize);
        if (c.digest) params.sha256 = server.etag("owner/repo", "weights.bin");
        Downloader downloader(destination(), partial(), params);
        auto stream = downloader.download(url(), std::nullopt, kFileSize);
        EXPECT_EQ(stream.next()->description(), "downloading(0.0, nil)");
        for (int i = 0; i < 500 && hubtest::fileSize(partial()) < c.stallAt; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto started = std::chrono::steady_clock::now();
        downloader.cancel();
        std::optional<State> state;
        while ((state = stream.next()) && !state->as<State::Failed>()) {
        }
        ASSERT_TRUE(state);
        EXPECT_EQ(state->description(), "failed(\"cancelled\")");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << "not at once";
        EXPECT_TRUE(foundation::readFile(partial()) == bytes.substr(0, c.stallAt));
    }
}

TEST_F(DownloaderTest, TheTokenGoesToTheServiceButNotToTheStorageHost) {
    server.setRedirect(HubServer::Redirect::absolute);
    auto states = run(quick(), kFileSize, "weights.bin", "secret");
    ASSERT_TRUE(completed(states)) << states.back().description();
    auto log = server.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].authorization, "Bearer secret");
    EXPECT_EQ(log[1].path.rfind("/storage/", 0), 0u);
    EXPECT_EQ(log[1].authorization, std::nullopt);
    EXPECT_TRUE(foundation::readFile(destination()) == bytes);
}

TEST(DownloadState, DescribesEachCase) {
    EXPECT_EQ(State::downloading(0.25, 1e6).description(), "downloading(0.25, 1000000.0)");
    EXPECT_EQ(State::notStarted().description(), "notStarted");
    EXPECT_EQ(State::failed(std::make_exception_ptr(Downloader::DownloadError(
                                Downloader::DownloadError::Case::unexpectedError)))
                  .description(),
              "failed(\"The operation couldn’t be completed. (Hub.Downloader.DownloadError error 1.)\")");
}

}  // namespace
