// Speed of the tokenizer library on a byte-level BPE tokenizer of the kind today's large models ship (a split
// pattern with look-ahead and Unicode classes, then the byte-level alphabet), whose merges are learned at
// start from the project's own English prose (the specification folder): encoding and decoding that prose,
// encoding from many threads at once, and loading tokenizer definitions of 9 MB and 33 MB.
//
// Run: TokenizerBenchmarks [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Hub/YYJSONParser.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace {

using namespace tokenizers;
namespace text = foundation::text;

constexpr const char* splitPattern =
    R"((?i:'[a-z]{1,2})|[^\r\n\p{L}\p{N}]?\p{L}+\p{M}*|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr size_t learnedMerges = 4000;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(std::filesystem::file_size(path), '\0');
    in.read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

const std::string& prose() {
    static const std::string text = [] {
        std::string all;
        for (const char* name : {"overview.md", "piece-01.md", "piece-02.md", "piece-03.md"}) {
            all += readFile(std::filesystem::path(QUORVEL_SPEC_TEXT) / name);
        }
        if (all.empty()) {
            std::fprintf(stderr, "No prose found in %s\n", QUORVEL_SPEC_TEXT);
            std::exit(1);
        }
        return all;
    }();
    return text;
}

// Byte-pair merges learned from the prose: words are the split pattern's pieces in the byte alphabet, and
// the most frequent adjacent pair is merged until `count` merges exist.
std::vector<std::pair<std::string, std::string>> learnMerges(const std::string& corpus, size_t count) {
    std::unordered_map<std::string, int64_t> wordCounts;
    text::Regex pattern(splitPattern);
    pattern.forEachMatch(corpus, [&](const text::Regex::Match& match) {
        std::string piece;
        appendByteEncoded(piece, std::string_view(corpus).substr(match.range.location, match.range.length));
        ++wordCounts[piece];
        return true;
    });
    std::vector<std::string> symbolText;
    std::unordered_map<std::string, int32_t> symbolIds;
    auto symbol = [&](const std::string& s) {
        auto [it, added] = symbolIds.emplace(s, static_cast<int32_t>(symbolText.size()));
        if (added) symbolText.push_back(s);
        return it->second;
    };
    std::vector<std::vector<int32_t>> words;
    std::vector<int64_t> counts;
    for (const auto& [word, n] : wordCounts) {
        std::vector<int32_t> symbols;
        for (const std::string& c : text::characters(word)) symbols.push_back(symbol(c));
        words.push_back(std::move(symbols));
        counts.push_back(n);
    }
    auto key = [](int32_t a, int32_t b) { return (uint64_t(uint32_t(a)) << 32) | uint32_t(b); };
    std::unordered_map<uint64_t, int64_t> pairCounts;
    std::unordered_map<uint64_t, std::vector<size_t>> pairWords;
    std::priority_queue<std::pair<int64_t, uint64_t>> heap;
    auto addWord = [&](size_t w, int64_t sign) {
        const auto& s = words[w];
        for (size_t i = 0; i + 1 < s.size(); ++i) {
            uint64_t k = key(s[i], s[i + 1]);
            int64_t& c = pairCounts[k];
            c += sign * counts[w];
            if (sign > 0) {
                pairWords[k].push_back(w);
                heap.emplace(c, k);
            }
        }
    };
    for (size_t w = 0; w < words.size(); ++w) addWord(w, 1);
    std::vector<std::pair<std::string, std::string>> merges;
    while (merges.size() < count && !heap.empty()) {
        auto [c, k] = heap.top();
        heap.pop();
        if (pairCounts[k] != c || c <= 0) continue;
        auto a = int32_t(k >> 32), b = int32_t(k & 0xFFFFFFFF);
        merges.emplace_back(symbolText[size_t(a)], symbolText[size_t(b)]);
        int32_t merged = symbol(symbolText[size_t(a)] + symbolText[size_t(b)]);
        std::vector<size_t> affected = std::move(pairWords[k]);
        std::sort(affected.begin(), affected.end());
        affected.erase(std::unique(affected.begin(), affected.end()), affected.end());
        for (size_t w : affected) {
            auto& s = words[w];
            addWord(w, -1);
            std::vector<int32_t> rewritten;
            for (size_t i = 0; i < s.size(); ++i) {
                if (i + 1 < s.size() && s[i] == a && s[i + 1] == b) {
                    rewritten.push_back(merged);
                    ++i;
                } else {
                    rewritten.push_back(s[i]);
                }
            }
            s = std::move(rewritten);
            addWord(w, 1);
        }
    }
    return merges;
}

// A tokenizer.json with the byte alphabet, one token per learned merge, synthetic tokens of `tokenLength`
// characters with two merges each (to reach the entry counts of a large model's file) and 256 reserved
// special tokens.
std::string definition(const std::vector<std::pair<std::string, std::string>>& merges, size_t extraTokens,
                       size_t tokenLength = 8) {
    foundation::JSONWriter json;
    json.beginObject();
    json.key("added_tokens").beginArray();
    const int64_t specialBase = 1'000'000;
    for (int k = 0; k < 256; ++k) {
        json.beginObject()
            .field("id", specialBase + k)
            .field("content", "<|reserved_special_token_" + std::to_string(k) + "|>")
            .field("special", true)
            .endObject();
    }
    json.endArray();
    json.key("normalizer").null();
    json.key("pre_tokenizer").beginObject().field("type", "Sequence").key("pretokenizers").beginArray();
    json.beginObject().field("type", "Split").key("pattern").beginObject().field("Regex", splitPattern).endObject();
    json.field("behavior", "Isolated").field("invert", false).endObject();
    json.beginObject().field("type", "ByteLevel").field("add_prefix_space", false).field("use_regex", false).endObject();
    json.endArray().endObject();
    json.key("post_processor").beginObject().field("type", "ByteLevel").endObject();
    json.key("decoder").beginObject().field("type", "ByteLevel").endObject();
    json.key("model").beginObject().field("type", "BPE");
    json.key("vocab").beginObject();
    int64_t id = 0;
    std::unordered_set<std::string> seen(byteEncoder().begin(), byteEncoder().end());
    for (int byte = 0; byte < 256; ++byte) json.field(byteEncoder()[size_t(byte)], id++);
    for (const auto& [a, b] : merges) {
        if (seen.insert(a + b).second) json.field(a + b, id++);
    }
    // Synthetic tokens grown from earlier tokens, as a learned vocabulary's are: Q = P + c and R = Q + d are
    // made by the merges (P, c) and (Q, d), and R also by (P, cd), since every two-letter token exists. So
    // every merge joins two tokens, and many tokens have two merges, as in real files.
    std::mt19937 random(11);
    std::vector<std::string> tokens(byteEncoder().begin(), byteEncoder().end());
    std::vector<std::pair<std::string, std::string>> syntheticMerges;
    auto letter = [&] { return byteEncoder()[size_t(0x61 + random() % 26)]; };
    auto add = [&](const std::string& a, const std::string& b) {
        std::string joined = a + b;
        if (seen.insert(joined).second) {
            json.field(joined, id++);
            tokens.push_back(joined);
        }
        syntheticMerges.emplace_back(a, b);
    };
    for (char c = 'a'; c <= 'z'; ++c) {
        for (char d = 'a'; d <= 'z'; ++d) add(std::string(1, c), std::string(1, d));
    }
    while (tokens.size() < extraTokens + 256) {
        // Mostly a recent token, so tokens grow towards `tokenLength` bytes.
        size_t pick = random() % 8 ? tokens.size() - 1 - random() % std::min<size_t>(tokens.size(), 64)
                                   : random() % tokens.size();
        std::string p = tokens[pick];
        if (p.size() + 2 > tokenLength) p = letter();
        std::string c = letter(), d = letter();
        add(p, c);
        add(p + c, d);
        add(p, c + d);
    }
    json.endObject();
    json.key("merges").beginArray();
    for (const auto& [a, b] : merges) json.value(a + " " + b);
    for (const auto& [a, b] : syntheticMerges) json.value(a + " " + b);
    json.endArray().endObject();
    json.endObject();
    return json.str();
}

const char* configJSON = R"({"tokenizer_class": "PreTrainedTokenizerFast", "clean_up_tokenization_spaces": false,
    "bos_token": "<|reserved_special_token_0|>", "eos_token": "<|reserved_special_token_1|>"})";

std::shared_ptr<Tokenizer> load(const std::string& data) {
    return AutoTokenizer::from(hub::YYJSONParser::parseToConfig(configJSON), hub::YYJSONParser::parseToConfig(data),
                               true);
}

const Tokenizer& proseTokenizer() {
    static const std::shared_ptr<Tokenizer> tokenizer = load(definition(learnMerges(prose(), learnedMerges), 0));
    return *tokenizer;
}

void encodeProse(benchmark::State& state) {
    const Tokenizer& tokenizer = proseTokenizer();
    size_t tokens = 0;
    for (auto _ : state) {
        std::vector<int64_t> ids = tokenizer.encode(prose());
        tokens = ids.size();
        benchmark::DoNotOptimize(ids.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(prose().size()));
    state.counters["bytes/token"] = benchmark::Counter(double(prose().size()) / double(tokens), benchmark::Counter::kAvgThreads);
}
BENCHMARK(encodeProse)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime()->Threads(1)->Threads(2)->Threads(4)->Threads(8);

// The same prose a paragraph at a time, as a model's prompts and segments arrive.
const std::vector<std::string>& paragraphs() {
    static const std::vector<std::string> parts = [] {
        std::vector<std::string> out;
        size_t start = 0;
        while (start < prose().size()) {
            size_t end = prose().find("\n\n", start);
            end = end == std::string::npos ? prose().size() : end + 2;
            out.push_back(prose().substr(start, end - start));
            start = end;
        }
        return out;
    }();
    return parts;
}

void encodeParagraphs(benchmark::State& state) {
    const Tokenizer& tokenizer = proseTokenizer();
    for (auto _ : state) {
        for (const std::string& paragraph : paragraphs()) {
            std::vector<int64_t> ids = tokenizer.encode(paragraph);
            benchmark::DoNotOptimize(ids.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(prose().size()));
    state.counters["paragraphs"] = double(paragraphs().size());
}
BENCHMARK(encodeParagraphs)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(1)->Threads(2)->Threads(4)->Threads(8);

void decodeProse(benchmark::State& state) {
    const Tokenizer& tokenizer = proseTokenizer();
    static const std::vector<int64_t> ids = tokenizer.encode(prose());
    for (auto _ : state) {
        std::string decoded = tokenizer.decode(ids);
        benchmark::DoNotOptimize(decoded.data());
    }
    if (tokenizer.decode(ids) != prose()) state.SkipWithError("decoding does not give the prose back");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(prose().size()));
}
BENCHMARK(decodeProse)->Unit(benchmark::kMillisecond);

// Reading a definition file and building the tokenizer from it: 9 MB with the entry counts of a 128k
// vocabulary (about 280k merges), 33 MB with those of a 262k vocabulary (about 520k merges).
void loadDefinition(benchmark::State& state) {
    static std::unordered_map<int64_t, std::filesystem::path> files;
    int64_t megabytes = state.range(0);
    if (!files.contains(megabytes)) {
        size_t vocabulary = megabytes < 20 ? 128'000 : 262'000;
        size_t tokenLength = megabytes < 20 ? 40 : 84;  // chosen so that the file has the size named
        std::string data = definition(learnMerges(prose(), learnedMerges), vocabulary - learnedMerges, tokenLength);
        auto path = std::filesystem::temp_directory_path() / ("tokenizer-benchmark-" + std::to_string(megabytes) + ".json");
        std::ofstream(path, std::ios::binary) << data;
        files[megabytes] = path;
    }
    const auto& path = files[megabytes];
    double parsing = 0;
    double building = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        hub::Config data = hub::YYJSONParser::parseToConfig(readFile(path));
        auto parsed = std::chrono::steady_clock::now();
        auto tokenizer = AutoTokenizer::from(hub::YYJSONParser::parseToConfig(configJSON), data, true);
        building += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - parsed).count();
        parsing += std::chrono::duration<double, std::milli>(parsed - start).count();
        benchmark::DoNotOptimize(tokenizer.get());
    }
    state.counters["MB"] = double(std::filesystem::file_size(path)) / 1e6;
    state.counters["read+parse ms"] = parsing / double(state.iterations());
    state.counters["build ms"] = building / double(state.iterations());
}
BENCHMARK(loadDefinition)->Arg(9)->Arg(33)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
