// Benchmarks of the hub client (never run by CTest).
#include <benchmark/benchmark.h>

#include <string>

#include "Hub/Config.hpp"
#include "Hub/YYJSONParser.hpp"

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

// Bound: under 0.5 s on one core.
void loadTokenizerConfig(benchmark::State& state) {
    const std::string& json = tokenizerDocument();
    for (auto _ : state) {
        hub::Config config = hub::YYJSONParser::parseToConfig(json);
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(json.size()));
    state.counters["MB"] = static_cast<double>(json.size()) / (1 << 20);
}
BENCHMARK(loadTokenizerConfig)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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

}  // namespace

BENCHMARK_MAIN();
