// Speed of text decoding around the decoder model:
// - perToken: what the token loop spends per token besides the model call (logits filters with
//   blank, token and timestamp suppression on, sampling over a 51,866-entry vocabulary, the cache,
//   mask and alignment updates, bookkeeping), through TextDecoder with a model that returns fixed
//   outputs at once. Target: under 0.2 ms per token on one core.
// - filterAndSample: the filters and the sampler alone, on logits that change every step.
// - window: one 30-s window decoded for 100 tokens on the base-size random Whisper model, through the
//   engine (encoder + TextDecoder::decodeText) and as the bare model calls (encoder + 100 decoder
//   predictions), best of five alternating rounds each. Target: engine_over_alone at most 1.1.
//
// Run: DecodingBenchmarks [--benchmark_filter=...]. The base model (about 150 MB) is written to a
// temporary folder on first use.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Lexiphonic/Core/Text/LogitsFilter.hpp"
#include "Lexiphonic/Core/Text/TokenSampler.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Platform/CoreML/MLFeatureProvider.hpp"
#include "Platform/CoreML/MLModel.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace {

using namespace lexiphonic;
using coreml::Float16;
using coreml::MLMultiArray;
using DT = coreml::MLMultiArrayDataType;
namespace fs = std::filesystem;

constexpr int64_t kVocabulary = 51866;  // the large-v3 layout
constexpr int64_t kEnd = 50257;

// Only what the loop needs of a tokenizer: the special ids of the large-v3 layout and the languages.
class BenchTokenizer : public WhisperTokenizer {
public:
    BenchTokenizer() {
        for (int64_t id = 50259; id < 50359; ++id) languages_.insert(id);
    }
    std::vector<int64_t> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int64_t>& tokens) const override { return std::string(tokens.size(), 'x'); }
    std::optional<int64_t> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int64_t) const override { return std::nullopt; }
    const SpecialTokens& specialTokens() const override { return special_; }
    const std::set<int64_t>& allLanguageTokens() const override { return languages_; }
    WordTokens splitToWordTokens(const std::vector<int64_t>&) const override { return {}; }

private:
    SpecialTokens special_{kEnd, 50259, 50363, 50364, kEnd, 50362, 50258, 50365, 50360, 50359, 220};
    std::set<int64_t> languages_;
};

std::vector<float> randomLogits(uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0.0f, 2.0f);
    std::vector<float> values(kVocabulary);
    for (auto& v : values) v = normal(generator);
    values[1000] = 14.0f;  // a clear text favourite, so the timestamp rule has both sides to weigh
    return values;
}

fs::path scratchFolder(const std::string& name) {
    auto folder = fs::temp_directory_path() / ("decoding-bench-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

struct RemoveAtExit {
    std::vector<fs::path> folders;
    ~RemoveAtExit() {
        std::error_code ec;
        for (const auto& f : folders) fs::remove_all(f, ec);
    }
} removeAtExit;

DecodingOptions loopOptions(int64_t sampleLength) {
    DecodingOptions options;
    options.suppressBlank = true;
    options.supressTokens = {1, 2, 7, 8, 9, 10, 14, 25, 26, 27, 28, 29, 31, 58, 59, 60, 61, 62, 63, 90, 91, 92, 93, 359,
                             503, 522, 542, 873, 893, 902, 918, 922, 931, 1350, 1853, 1982, 2460, 2627, 3246, 3253};
    options.sampleLength = sampleLength;
    options.firstTokenLogProbThreshold = std::nullopt;
    options.usePrefillCache = false;
    return options;
}

// ---- Per-token cost around the model: a "constant" decoder of base size (E = 6 x 512).

std::shared_ptr<coreml::MLModel> constantDecoder() {
    static std::shared_ptr<coreml::MLModel> model = [] {
        const int64_t E = 6 * 512, S = 224, W = 1500;
        const auto logits = randomLogits(1);
        std::vector<Float16> halves(logits.begin(), logits.end());
        std::vector<Float16> keys(static_cast<size_t>(E), Float16(0.5)), alignment(static_cast<size_t>(W), Float16(0.25));
        const fs::path folder = scratchFolder("constant");
        removeAtExit.folders.push_back(folder);
        coreml::ModelFolderWriter("constant")
            .addInput("input_ids", DT::int32, {1})
            .addInput("cache_length", DT::int32, {1})
            .addInput("key_cache", DT::float16, {1, E, 1, S})
            .addInput("value_cache", DT::float16, {1, E, 1, S})
            .addInput("kv_cache_update_mask", DT::int32, {1, S})
            .addInput("encoder_output_embeds", DT::float16, {1, 512, 1, W})
            .addInput("decoder_key_padding_mask", DT::float16, {1, S})
            .addOutput("logits", DT::float16, {1, 1, kVocabulary})
            .addOutput("key_cache_updates", DT::float16, {1, E, 1, 1})
            .addOutput("value_cache_updates", DT::float16, {1, E, 1, 1})
            .addOutput("alignment_heads_weights", DT::float16, {1, W})
            .addTensor("logits", halves, {1, 1, kVocabulary})
            .addTensor("key_cache_updates", keys, {1, E, 1, 1})
            .addTensor("value_cache_updates", keys, {1, E, 1, 1})
            .addTensor("alignment_heads_weights", alignment, {1, W})
            .write(folder / "TextDecoder.mlmodelc");
        return coreml::MLModel::load(folder / "TextDecoder.mlmodelc");
    }();
    return model;
}

void perToken(benchmark::State& state) {
    coreml::whisper::setKernelThreadCount(1);
    auto decoder = std::make_shared<TextDecoder>([](std::function<void()>) {});
    decoder->setModel(constantDecoder());
    decoder->setTokenizer(std::make_shared<BenchTokenizer>());
    decoder->setIsModelMultilingual(true);
    const DecodingOptions options = loopOptions(224);
    auto encoder = MLMultiArray::make({1, 512, 1, 1500}, DT::float16);
    auto inputs = decoder->prepareDecoderInputs({50258});
    decoder->prefillDecoderInputs(inputs, options);
    double seconds = 0, steps = 0;
    for (auto _ : state) {
        inputs->reset(0, Constants::maxTokenContext);
        GreedyTokenSampler sampler(Float16(0), kEnd, options);
        const auto result = decoder->decodeText(encoder, inputs, sampler, options);
        seconds += result.timings->decodingLoop - result.timings->decodingPredictions;
        steps += result.timings->totalDecodingLoops;
    }
    state.counters["us_per_token"] = 1e6 * seconds / steps;
    state.counters["steps_per_window"] = steps / static_cast<double>(state.iterations());
}

void filterAndSample(benchmark::State& state) {
    const auto special = BenchTokenizer().specialTokens();
    const DecodingOptions options = loopOptions(224);
    std::vector<std::shared_ptr<LogitsFiltering>> filters{
        std::make_shared<SuppressBlankFilter>(special, 4), std::make_shared<SuppressTokensFilter>(options.supressTokens),
        std::make_shared<TimestampRulesFilter>(special, 4, std::nullopt, true)};
    std::vector<std::vector<Float16>> sources;
    for (uint32_t seed = 0; seed < 8; ++seed) {
        const auto values = randomLogits(seed + 10);
        sources.emplace_back(values.begin(), values.end());
    }
    auto logits = MLMultiArray::make({1, 1, kVocabulary}, DT::float16);
    std::vector<int64_t> tokens{50258, 50259, 50360, 50365};
    std::vector<float> logProbs(4, 0.0f);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    size_t step = 0;
    for (auto _ : state) {
        const auto& source = sources[step++ % sources.size()];
        std::copy(source.begin(), source.end(), logits->data<Float16>());
        for (const auto& filter : filters) filter->filterLogits(logits, tokens);
        const auto next = sampler.sample(*logits);
        benchmark::DoNotOptimize(next);
        if (tokens.size() > 100) tokens.resize(4);
        tokens.push_back(step % 7 == 0 ? 50365 + static_cast<int64_t>(step % 50) : next.token);
    }
}

// ---- One window on the base-size random model.

struct BaseModels {
    std::shared_ptr<coreml::MLModel> encoder, decoder;
    std::shared_ptr<MLMultiArray> mel;
};

BaseModels& baseModels() {
    static std::unique_ptr<BaseModels> models;
    if (!models) {
        coreml::whisper::TestModelOptions options;
        auto& c = options.config;
        c.melCount = 80;
        c.width = 512;
        c.encoderLayers = c.decoderLayers = 6;
        c.encoderHeads = c.decoderHeads = 8;
        c.vocabularySize = 51865;
        c.alignmentHeads = {{5, 0}, {5, 1}};
        options.writeTokenizer = false;
        const fs::path folder = scratchFolder("base");
        removeAtExit.folders.push_back(folder);
        coreml::whisper::writeTestModel(folder, options);
        models = std::make_unique<BaseModels>();
        models->encoder = coreml::MLModel::load(folder / "AudioEncoder.mlmodelc");
        models->decoder = coreml::MLModel::load(folder / "TextDecoder.mlmodelc");
        models->mel = MLMultiArray::make({1, 80, 1, 3000}, DT::float16);
        for (int64_t i = 0; i < models->mel->count(); ++i) models->mel->setValue(i, std::sin(0.001 * static_cast<double>(i)));
    }
    return *models;
}

std::shared_ptr<MLMultiArray> encode(const BaseModels& m) {
    auto out = m.encoder->prediction(coreml::MLDictionaryFeatureProvider({{"melspectrogram_features", m.mel}}));
    return out->featureValue("encoder_output_embeds")->multiArrayValue();
}

// The bare model calls: the encoder, then 100 decoder predictions.
double windowAlone(BaseModels& m) {
    const auto& shape = m.decoder->modelDescription().inputDescriptionsByName.at("key_cache").multiArrayConstraint->shape;
    auto keys = MLMultiArray::make(shape, DT::float16), values = MLMultiArray::make(shape, DT::float16);
    auto mask = MLMultiArray::make({1, shape[3]}, DT::float16), update = MLMultiArray::make({1, shape[3]}, DT::int32);
    auto ids = MLMultiArray::make({1}, DT::int32), length = MLMultiArray::make({1}, DT::int32);
    const auto start = std::chrono::steady_clock::now();
    auto embeddings = encode(m);
    for (int32_t t = 0; t < 100; ++t) {
        ids->data<int32_t>()[0] = t < 4 ? 50258 : 1000 + t;
        length->data<int32_t>()[0] = t;
        benchmark::DoNotOptimize(m.decoder->prediction(coreml::MLDictionaryFeatureProvider(
            {{"input_ids", ids}, {"cache_length", length}, {"key_cache", keys}, {"value_cache", values},
             {"kv_cache_update_mask", update}, {"encoder_output_embeds", embeddings}, {"decoder_key_padding_mask", mask}})));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The engine: the encoder, then TextDecoder's loop for 100 steps (the end token is forbidden so that
// every window runs them all).
double windowEngine(BaseModels& m, TextDecoder& decoder, const std::shared_ptr<DecodingInputs>& inputs,
                    const DecodingOptions& options, double& aroundModel) {
    const auto start = std::chrono::steady_clock::now();
    auto embeddings = encode(m);
    inputs->reset(0, Constants::maxTokenContext);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    const auto result = decoder.decodeText(embeddings, inputs, sampler, options);
    if (result.timings->totalDecodingLoops != 100) throw std::runtime_error("the window did not run 100 steps");
    aroundModel = result.timings->decodingLoop - result.timings->decodingPredictions;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Alternates the two, so that load from other processes falls on both alike, and compares the best
// of each.
void window(benchmark::State& state) {
    coreml::whisper::setKernelThreadCount(static_cast<int>(state.range(0)));
    auto& m = baseModels();
    auto decoder = std::make_shared<TextDecoder>([](std::function<void()>) {});
    decoder->setModel(m.decoder);
    decoder->setTokenizer(std::make_shared<BenchTokenizer>());
    decoder->setIsModelMultilingual(true);
    decoder->setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<SuppressTokensFilter>(std::vector<int64_t>{kEnd})});
    const DecodingOptions options = loopOptions(100);
    auto inputs = decoder->prepareDecoderInputs({50258});
    decoder->prefillDecoderInputs(inputs, options);
    double alone = 1e9, engine = 1e9, aroundModel = 0;
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            alone = std::min(alone, windowAlone(m));
            double around = 0;
            const double seconds = windowEngine(m, *decoder, inputs, options, around);
            if (seconds < engine) engine = seconds, aroundModel = around;
        }
    }
    state.counters["alone_ms"] = 1e3 * alone;
    state.counters["engine_ms"] = 1e3 * engine;
    // Of the best engine window: the loop's time outside the model calls.
    state.counters["around_model_ms"] = 1e3 * aroundModel;
    state.counters["engine_over_alone"] = engine / alone;
}

}  // namespace

BENCHMARK(perToken)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(filterAndSample)->Unit(benchmark::kMicrosecond);
BENCHMARK(window)->Arg(2)->Arg(8)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
