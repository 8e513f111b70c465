// Speed of the tokenizer library on a byte-level BPE tokenizer of the kind today's large models ship (a split
// pattern with look-ahead and Unicode classes, then the byte-level alphabet), whose merges are learned at
// start from English-like prose generated here: encoding and decoding that prose, encoding from many threads
// at once, loading tokenizer definitions of 9 MB and 33 MB, and a definition with thousands of added tokens
// (encoding text dense in tags against the same definition with two added tokens, and loading it).
//
// Run: TokenizerBenchmarks [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <time.h>

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

// About 1.2 MB of English-like prose, the same on every run: words of English syllables drawn with Zipf's law,
// sentences with commas, numbers, quoted names and contractions, paragraphs and short lists.
const std::string& prose() {
    static const std::string text = [] {
        std::mt19937 random(2024);
        const std::vector<std::string> onsets = {"", "b", "c", "d", "f", "g", "h", "l", "m", "n", "p", "r", "s", "t",
                                                 "w", "th", "st", "pr", "tr", "ch", "sh", "gr", "pl", "wh"};
        const std::vector<std::string> vowels = {"a", "e", "i", "o", "u", "ea", "ou", "io", "ai", "ee"};
        const std::vector<std::string> codas = {"", "", "n", "r", "s", "t", "l", "nd", "st", "ng", "ck", "ment", "tion"};
        std::vector<std::string> words = {"the", "of", "and", "a", "to", "in", "is", "it", "that", "for", "on",
                                          "with", "as", "be", "by", "this", "are", "or", "from", "when", "each"};
        while (words.size() < 6000) {
            std::string word;
            for (size_t k = 1 + random() % 3; k > 0; --k) {
                word += onsets[random() % onsets.size()] + vowels[random() % vowels.size()] +
                        codas[random() % codas.size()];
            }
            words.push_back(word);
        }
        std::vector<double> weights;
        for (size_t rank = 0; rank < words.size(); ++rank) weights.push_back(1.0 / double(rank + 1));
        std::discrete_distribution<size_t> zipf(weights.begin(), weights.end());
        std::string all;
        while (all.size() < 1'200'000) {
            if (random() % 6 == 0) {
                for (size_t item = 2 + random() % 3; item > 0; --item) {
                    all += "- " + words[zipf(random)] + " " + words[zipf(random)] + "\n";
                }
                all += "\n";
                continue;
            }
            for (size_t sentence = 3 + random() % 5; sentence > 0; --sentence) {
                for (size_t k = 0, n = 5 + random() % 16; k < n; ++k) {
                    std::string word = words[zipf(random)];
                    if (k == 0) word[0] = char(std::toupper(static_cast<unsigned char>(word[0])));
                    switch (random() % 40) {
                        case 0: word = std::to_string(random() % 2000); break;
                        case 1: word = "`" + word + "`"; break;
                        case 2: word = "\"" + word + "\""; break;
                        case 3: word += "'s"; break;
                        case 4: word = "don't"; break;
                        default: break;
                    }
                    all += word;
                    all += k + 1 == n ? (random() % 8 ? ". " : "? ") : (random() % 9 ? " " : ", ");
                }
            }
            all.back() = '\n';
            all += "\n";
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

// The content of the k-th added token: the first two are the definition's beginning and end tokens; the rest
// are shaped like a large model's reserved, unused and multimodal tokens.
std::string addedToken(size_t k) {
    if (k < 2 || k % 3 == 0) return "<|reserved_special_token_" + std::to_string(k) + "|>";
    return k % 3 == 1 ? "<unused" + std::to_string(k) + ">" : "[multimodal_" + std::to_string(k) + "]";
}

// A tokenizer.json with the byte alphabet, one token per learned merge, synthetic tokens of `tokenLength`
// characters with two merges each (to reach the entry counts of a large model's file) and `addedTokens`
// special tokens, a few of which strip the white space around them.
std::string definition(const std::vector<std::pair<std::string, std::string>>& merges, size_t extraTokens,
                       size_t tokenLength = 8, size_t addedTokens = 256) {
    foundation::JSONWriter json;
    json.beginObject();
    json.key("added_tokens").beginArray();
    const int64_t specialBase = 1'000'000;
    for (size_t k = 0; k < addedTokens; ++k) {
        json.beginObject()
            .field("id", specialBase + int64_t(k))
            .field("content", addedToken(k))
            .field("lstrip", k > 2 && k % 701 == 0)
            .field("rstrip", k > 2 && k % 907 == 0)
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
    std::set<std::pair<std::string, std::string>> mergeSet(merges.begin(), merges.end());
    auto add = [&](const std::string& a, const std::string& b) {
        std::string joined = a + b;
        if (seen.insert(joined).second) {
            json.field(joined, id++);
            tokens.push_back(joined);
        }
        // A pair listed again would move to the later rank and change what the learned merges do.
        if (mergeSet.emplace(a, b).second) {
            syntheticMerges.emplace_back(a, b);
        }
    };
    for (char c = 'a'; c <= 'z' && extraTokens > 0; ++c) {
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

// Encodes the text once per iteration; returns the token count.
size_t encodeEachIteration(benchmark::State& state, const Tokenizer& tokenizer, const std::string& text) {
    size_t tokens = 0;
    for (auto _ : state) {
        std::vector<int64_t> ids = tokenizer.encode(text);
        tokens = ids.size();
        benchmark::DoNotOptimize(ids.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    return tokens;
}

void encodeProse(benchmark::State& state) {
    size_t tokens = encodeEachIteration(state, proseTokenizer(), prose());
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

// A definition file with the entry counts of a 128k vocabulary (about 280k merges; 9 MB with tokens of up to
// 40 bytes) or a 262k one (about 520k merges; 33 MB with tokens of up to 84 bytes, 12 MB with tokens of up to
// 16 bytes, whose lengths are those of a published vocabulary's tokens), with the given number of added
// tokens; made once per process.
const std::filesystem::path& definitionFile(int64_t megabytes, size_t addedTokens) {
    static std::map<std::pair<int64_t, size_t>, std::filesystem::path> files;
    auto key = std::make_pair(megabytes, addedTokens);
    if (!files.contains(key)) {
        static const auto merges = learnMerges(prose(), learnedMerges);
        size_t vocabulary = megabytes == 9 ? 128'000 : 262'144;
        size_t tokenLength = megabytes == 9 ? 40 : megabytes == 33 ? 84 : 16;
        std::string data = definition(merges, vocabulary - learnedMerges, tokenLength, addedTokens);
        auto path = std::filesystem::temp_directory_path() /
                    ("tokenizer-benchmark-" + std::to_string(megabytes) + "-" + std::to_string(addedTokens) + ".json");
        std::ofstream(path, std::ios::binary) << data;
        files[key] = path;
    }
    return files[key];
}

// The calling thread's CPU time: on a shared machine the wall clock also counts the time other processes
// hold the core, while the CPU time is what the work costs on one core (fresh pages faulted in included).
double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Reading a definition file and building the tokenizer from it, in CPU time of the one thread that does it:
// arguments are the file's size class and its number of added tokens.
void loadDefinition(benchmark::State& state) {
    const auto& path = definitionFile(state.range(0), size_t(state.range(1)));
    double parsing = 0;
    double building = 0;
    // An application loads its tokenizer once, into memory it has not touched yet; later iterations reuse
    // the memory that the first one freed, so the first is reported apart.
    double firstParsing = -1;
    double firstBuilding = -1;
    for (auto _ : state) {
        double start = threadMilliseconds();
        hub::Config data = hub::YYJSONParser::parseToConfig(readFile(path));
        double parsed = threadMilliseconds();
        auto tokenizer = AutoTokenizer::from(hub::YYJSONParser::parseToConfig(configJSON), data, true);
        double built = threadMilliseconds() - parsed;
        double read = parsed - start;
        if (firstParsing < 0) {
            firstParsing = read;
            firstBuilding = built;
        }
        building += built;
        parsing += read;
        benchmark::DoNotOptimize(tokenizer.get());
    }
    state.counters["MB"] = double(std::filesystem::file_size(path)) / 1e6;
    state.counters["read+parse CPU ms"] = parsing / double(state.iterations());
    state.counters["build CPU ms"] = building / double(state.iterations());
    state.counters["first read+parse CPU ms"] = firstParsing;
    state.counters["first build CPU ms"] = firstBuilding;
}
BENCHMARK(loadDefinition)->Args({9, 256})->Args({33, 256})->Args({12, 6400})->Unit(benchmark::kMillisecond)->Iterations(3);

// About 200 KB dense in "<", line feeds and tags: markup, comparisons, chat turns and the definition's own
// added tokens, between short runs of prose.
const std::string& taggedText() {
    static const std::string text = [] {
        std::mt19937 random(5);
        const std::vector<std::string> fragments = {"a<b ", "<", "\n", "x <= y\n", "<div>", "</p>\n", "<<", "<b>",
                                                    "\n\n", "if (i<n) {\n", "<start_of_turn>user\n"};
        std::string all;
        size_t cursor = 0;
        while (all.size() < 200'000) {
            switch (random() % 4) {
                case 0: all += fragments[random() % fragments.size()]; break;
                case 1: all += addedToken(random() % 6400); break;
                default: {
                    size_t length = 8 + random() % 40;
                    all += prose().substr(cursor, length);
                    cursor = (cursor + length) % (prose().size() - 64);
                }
            }
        }
        return all;
    }();
    return text;
}

// Encoding the tagged text with the 262k definition carrying 2 or 6,400 added tokens: cutting at thousands of
// added tokens should cost little beside the model's own work.
void encodeTagged(benchmark::State& state) {
    static std::map<size_t, std::shared_ptr<Tokenizer>> tokenizers;
    auto addedTokens = size_t(state.range(0));
    if (!tokenizers.contains(addedTokens)) {
        tokenizers[addedTokens] = load(readFile(definitionFile(12, addedTokens)));
    }
    state.counters["tokens"] = double(encodeEachIteration(state, *tokenizers[addedTokens], taggedText()));
}
BENCHMARK(encodeTagged)->Arg(2)->Arg(6400)->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace

BENCHMARK_MAIN();
