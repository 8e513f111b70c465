// Benchmarks of the hub client (never run by CTest).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "Hub/Config.hpp"
#include "Hub/YYJSONParser.hpp"
#ifdef QUORVEL_HUB_TEST_SERVER
#include "Hub/HubApi.hpp"
#include "HubServer/HubServer.hpp"
#endif

namespace {

// A tokenizer.json shaped document of about 30 MB: 250k vocabulary entries and 250k merges (as pairs
// of strings), with byte-level, Cyrillic and CJK pieces among the ASCII ones.
const std::string& tokenizerDocument() {
    static const std::string document = [] {
        constexpr int entries = 250'000;
        const char* pieces[] = {"\xC4\xA0", "ing", "\xD0\xBF\xD1\x80\xD0\xB8", "tion", "\xE4\xB8\xAD\xE6\x96\x87",
                                "er", "\xC4\x8A", "\xD1\x81\xD0\xBB\xD0\xBE\xD0\xB2\xD0\xBE", "abc", "\\\"q\\\""};
        auto piece = [&](int n) {
            std::string out;
            for (int k = 0; k < 4; ++k) {
                out += pieces[n % 10];
                n /= 10;
            }
            return out;
        };
        std::string json = R"({"version":"1.0","added_tokens":[{"id":0,"content":"<unk>","special":true}],)"
                           R"("normalizer":null,"pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false},)"
                           R"("model":{"type":"BPE","dropout":null,"unk_token":null,"vocab":{)";
        json.reserve(31u << 20);
        for (int i = 0; i < entries; ++i) {
            if (i > 0) json += ',';
            json += '"' + piece(i) + std::to_string(i) + "_vocabulary_piece\":" + std::to_string(i);
        }
        json += R"(},"merges":[)";
        for (int i = 0; i < entries; ++i) {
            if (i > 0) json += ',';
            json += "[\"" + piece(i) + std::to_string(i) + "_left_side\",\"" + piece(i / 7) + "_right_hand_side\"]";
        }
        json += "]}}";
        return json;
    }();
    return document;
}

// Bound: under 0.5 s on one core. The time is the load alone; freeing the result afterwards is
// reported apart, as destroyMs.
void loadTokenizerConfig(benchmark::State& state) {
    const std::string& json = tokenizerDocument();
    double destroySeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::optional<hub::Config> config = hub::YYJSONParser::parseToConfig(json);
        auto loaded = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(config);
        config.reset();
        auto freed = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(loaded - start).count());
        destroySeconds += std::chrono::duration<double>(freed - loaded).count();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(json.size()));
    state.counters["MB"] = static_cast<double>(json.size()) / (1 << 20);
    state.counters["destroyMs"] = 1000 * destroySeconds / static_cast<double>(state.iterations());
}
BENCHMARK(loadTokenizerConfig)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// A copy shares the nodes: constant time, and the vocabulary node is the same object afterwards.
void copyTokenizerConfig(benchmark::State& state) {
    hub::Config config = hub::YYJSONParser::parseToConfig(tokenizerDocument());
    bool shared = true;
    for (auto _ : state) {
        hub::Config copy = config;
        benchmark::DoNotOptimize(copy);
        shared = shared && copy["model"]["vocab"].dictionary() == config["model"]["vocab"].dictionary();
    }
    if (!shared) state.SkipWithError("a copy did not share the vocabulary node");
    state.counters["vocabShared"] = shared ? 1 : 0;
}
BENCHMARK(copyTokenizerConfig);

// Editing one top-level entry of a copy copies only the top-level node (a handful of entries).
void copyAndEditTokenizerConfig(benchmark::State& state) {
    hub::Config config = hub::YYJSONParser::parseToConfig(tokenizerDocument());
    for (auto _ : state) {
        hub::Config copy = config;
        copy.set("chat_template", "{{ messages }}");
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(copyAndEditTokenizerConfig);

#ifdef QUORVEL_HUB_TEST_SERVER
// --- Downloads from the loopback hosting service ----------------------------------------------------------

// A 1 GiB stored file on the loopback service, and a cache to download it into.
struct DownloadBench {
    static constexpr uint64_t size = 1ull << 30;
    const hub::Hub::Repo repo{"bench/model", hub::Hub::RepoType::models};
    hubtest::TemporaryFolder repos;
    hubtest::TemporaryFolder cache;
    std::unique_ptr<hubtest::HubServer> server;
    std::shared_ptr<hub::NetworkMonitor> monitor =
        std::make_shared<hub::NetworkMonitor>(std::make_unique<hub::ManualPathMonitor>());

    DownloadBench() {
        const std::string block = hubtest::patternBytes(1 << 20, 5);
        std::filesystem::create_directories(repos.path() / "bench" / "model");
        std::ofstream out(repos.path() / "bench" / "model" / "weights.bin", std::ios::binary);
        for (uint64_t written = 0; written < size; written += block.size()) out.write(block.data(), block.size());
        out.close();
        ::sync();
        hubtest::HubServer::Options options;
        options.root = repos.path();
        options.lifetime = std::chrono::hours(2);
        server = std::make_unique<hubtest::HubServer>(options);
        server->etag("bench/model", "weights.bin");  // the service digests the file once, before any timing
    }

    hub::HubApi api() const {
        return hub::HubApi({.downloadBase = cache.path(), .bmToken = "", .endpoint = server->baseURL(),
                            .useOfflineMode = false, .networkMonitor = monitor});
    }
    hub::HubApi::HubFileDownloader downloader() const {
        const hub::HubApi client = api();
        const auto folder = client.localRepoLocation(repo);
        return {client, repo, "main", folder, folder / ".cache" / "brindlemoor" / "download", "weights.bin",
                std::nullopt, client.endpoint, false};
    }
    std::filesystem::path partial() const {
        return downloader().repoMetadataDestination /
               ("weights.bin." + server->etag("bench/model", "weights.bin") + ".incomplete");
    }
    // Forgets the downloaded file, so the next download fetches it again, and lets the disk settle so
    // no run pays for the writes of the one before.
    void forget() const {
        std::filesystem::remove_all(cache.path() / "models");
        std::filesystem::remove(cache.path() / "curl-output.bin");
        std::filesystem::create_directories(downloader().repoMetadataDestination);
        ::sync();
    }

    static DownloadBench& shared() {
        static DownloadBench bench;
        return bench;
    }
};

// A field of /proc/self/status in KiB.
int64_t statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::strlen(field)));
    return 0;
}

// Bounds: at least 80% of `curl -o` on the same service (curlReference below), resident memory growth under
// 64 MiB.
void downloadOneGiB(benchmark::State& state) {
    auto& bench = DownloadBench::shared();
    int64_t growthKiB = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench.forget();
        std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak resident size
        const int64_t before = statusKiB("VmRSS:");
        state.ResumeTiming();
        bench.downloader().download();
        state.PauseTiming();
        growthKiB = std::max(growthKiB, statusKiB("VmHWM:") - before);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DownloadBench::size));
    state.counters["RSSGrowthMiB"] = static_cast<double>(growthKiB) / 1024;
}
BENCHMARK(downloadOneGiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The same transfer by the curl command-line tool, for comparison.
void curlReference(benchmark::State& state) {
    auto& bench = DownloadBench::shared();
    if (std::system("command -v curl >/dev/null 2>&1") != 0) {
        state.SkipWithError("curl is not installed");
        return;
    }
    const auto output = bench.cache.path() / "curl-output.bin";
    const std::string command = "curl -s -f -o '" + output.string() + "' '" +
                                bench.api().resolveURL(bench.repo, "main", "weights.bin") + "'";
    for (auto _ : state) {
        state.PauseTiming();
        bench.forget();
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    }
    std::filesystem::remove(output);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DownloadBench::size));
}
BENCHMARK(curlReference)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Resuming a download cut at 50% fetches only the second half.
void resumeAfterHalf(benchmark::State& state) {
    auto& bench = DownloadBench::shared();
    uint64_t fetched = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench.forget();
        std::filesystem::copy_file(bench.repos.path() / "bench" / "model" / "weights.bin", bench.partial());
        std::filesystem::resize_file(bench.partial(), DownloadBench::size / 2);
        bench.server->clearRequests();
        state.ResumeTiming();
        bench.downloader().download();
        state.PauseTiming();
        fetched = bench.server->bodyBytesSent();
        state.ResumeTiming();
    }
    if (fetched != DownloadBench::size / 2) state.SkipWithError("more than the missing half was fetched");
    state.counters["fetchedMiB"] = static_cast<double>(fetched) / (1 << 20);
}
BENCHMARK(resumeAfterHalf)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
