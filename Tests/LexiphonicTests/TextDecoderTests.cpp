#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <stop_token>
#include <thread>

#include "DecodingTestSupport.hpp"
#include "LogCapture.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/TextUtilities.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/TaskPool.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using coreml::Float16;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;
namespace fs = std::filesystem;

namespace {

using Tokens = std::vector<int64_t>;

// The token the scripted model predicts at each position; `X` marks positions whose prediction the
// loop discards (forced prompt positions).
constexpr int64_t X = 9;

void expectError(const std::function<void()>& body, WhisperError::Case errorCase, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no error, expected " << WhisperError::caseName(errorCase) << ": " << message;
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.errorCase(), errorCase) << error.describe();
        EXPECT_EQ(error.message(), message);
    }
}

// A decoder over a scripted model, the fake tokenizer and progress reports run inline.
class TextDecoderTest : public ::testing::Test {
protected:
    std::shared_ptr<TextDecoder> load(const ScriptedDecoder& script, bool multilingual = true) {
        const fs::path folder = scratch.path() / ("TextDecoder" + std::to_string(models++) + ".mlmodelc");
        script.write(folder);
        auto decoder = std::make_shared<TextDecoder>([](std::function<void()> job) { job(); });
        decoder->loadModel(folder, coreml::MLComputeUnits::cpuOnly, false);
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(multilingual);
        return decoder;
    }

    // Prepared and prefilled inputs for `options`.
    std::shared_ptr<DecodingInputs> inputsFor(TextDecoder& decoder, const std::optional<DecodingOptions>& options) {
        auto inputs = decoder.prepareDecoderInputs({kStart});
        decoder.prefillDecoderInputs(inputs, options);
        return inputs;
    }

    DecodingResult decode(TextDecoder& decoder, const DecodingOptions& options, float temperature = 0,
                          const TranscriptionCallback& callback = {}) {
        auto inputs = inputsFor(decoder, options);
        lastInputs = inputs;
        GreedyTokenSampler sampler(static_cast<Float16>(temperature), kEnd, options, [] { return 0.5f; });
        return decoder.decodeText(encoderOutput(), inputs, sampler, options, callback);
    }

    static MLMultiArrayRef encoderOutput(int64_t frames = 8) {
        return MLMultiArray::make({1, 6, 1, frames}, MLMultiArrayDataType::float16);
    }

    static Tokens textOnly(const Tokens& tokens) {
        Tokens text;
        for (int64_t t : tokens)
            if (t < kEnd) text.push_back(t);
        return text;
    }

    TemporaryFolder scratch;
    int models = 0;
    std::shared_ptr<FakeWhisperTokenizer> tokenizer = std::make_shared<FakeWhisperTokenizer>();
    std::shared_ptr<DecodingInputs> lastInputs;
};

}  // namespace

TEST_F(TextDecoderTest, PreparedInputsHaveTheModelsDimensions) {
    auto decoder = load({});
    EXPECT_EQ(decoder->kvCacheEmbedDim(), 4);
    EXPECT_EQ(decoder->kvCacheMaxSequenceLength(), 224);
    EXPECT_EQ(decoder->windowSize(), 8);
    EXPECT_EQ(decoder->embedSize(), 6);
    EXPECT_EQ(decoder->logitsSize(), kVocabulary);
    EXPECT_TRUE(decoder->supportsWordTimestamps());

    auto inputs = decoder->prepareDecoderInputs({kStart});
    EXPECT_EQ(inputs->initialPrompt(), Tokens{kStart});
    EXPECT_EQ(inputs->keyCache()->shape(), (std::vector<int64_t>{1, 4, 1, 224}));
    EXPECT_EQ(inputs->alignmentWeights()->shape(), (std::vector<int64_t>{224, 8}));
    EXPECT_EQ(inputs->prefillKeyCache()->shape(), (std::vector<int64_t>{1, 4, 1, 224}));
    EXPECT_EQ(inputs->kvCacheUpdateMask()->value(0), 1);
    EXPECT_EQ(inputs->kvCacheUpdateMask()->value(1), 0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask()->value(0), 0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask()->value(223), -10000);

    TextDecoder empty;
    expectError([&] { empty.prepareDecoderInputs({kStart}); }, WhisperError::Case::prepareDecoderInputsFailed,
                "Unable to determine kvCacheEmbedDim");
}

TEST_F(TextDecoderTest, ForcedPrompt) {
    auto multilingual = load({});
    auto english = load({}, false);
    auto options = [](auto change) {
        DecodingOptions o;
        o.usePrefillCache = false;
        change(o);
        return o;
    };
    Tokens manyPrompts;
    for (int64_t i = 0; i < 200; ++i) manyPrompts.push_back(i % 10 == 0 ? kEnd + 5 : i);
    Tokens expectedPrevious{kStartOfPrevious};
    for (int64_t i = 89; i < 200; ++i)
        if (i % 10 != 0) expectedPrevious.push_back(i);
    Tokens expectedLong = expectedPrevious;
    expectedLong.insert(expectedLong.end(), {kStart, kEnglish, kTranscribe, kTimeBegin});

    struct Case {
        const char* name;
        std::shared_ptr<TextDecoder> decoder;
        std::optional<DecodingOptions> options;
        Tokens prompt;
    };
    const std::vector<Case> cases = {
        {"no options", multilingual, std::nullopt, {kStart}},
        {"multilingual", multilingual, options([](auto&) {}), {kStart, kEnglish, kTranscribe, kTimeBegin}},
        {"single language", english, options([](auto& o) { o.language = "de"; }), {kStart, kTimeBegin}},
        {"language and translation", multilingual, options([](auto& o) { o.language = "de"; o.task = DecodingTask::translate; }),
         {kStart, kGerman, kTranslate, kTimeBegin}},
        {"unknown language", multilingual, options([](auto& o) { o.language = "xx"; }), {kStart, kEnglish, kTranscribe, kTimeBegin}},
        {"without timestamps", english, options([](auto& o) { o.withoutTimestamps = true; }), {kStart, kNoTimestamps}},
        {"previous context", multilingual, options([&](auto& o) { o.promptTokens = manyPrompts; }), expectedLong},
        {"prefix", english, options([](auto& o) { o.prefixTokens = Tokens{5, kEnd, 6}; }), {kStart, kTimeBegin, 5, 6}},
    };
    for (const auto& c : cases) EXPECT_EQ(inputsFor(*c.decoder, c.options)->initialPrompt(), c.prompt) << c.name;
}

namespace {

// Records what the prefill is asked for and answers with three positions of known keys and values.
class RecordingDecoder : public TextDecoder {
public:
    using TextDecoder::TextDecoder;
    std::optional<DecodingCache> prefillKVCache(MLMultiArrayRef task, MLMultiArrayRef language) override {
        asked.push_back({static_cast<int64_t>(task->value(0)), static_cast<int64_t>(language->value(0))});
        auto keys = MLMultiArray::make({1, 4, 1, 3}, MLMultiArrayDataType::float16);
        auto values = MLMultiArray::make({1, 4, 1, 3}, MLMultiArrayDataType::float16);
        for (int64_t i = 0; i < keys->count(); ++i) {
            keys->setValue(i, 100 + i);
            values->setValue(i, -100 - i);
        }
        return DecodingCache{keys, values, nullptr};
    }
    std::vector<std::pair<int64_t, int64_t>> asked;
};

}  // namespace

TEST_F(TextDecoderTest, PrefilledCache) {
    ScriptedDecoder script;
    script.write(scratch.path() / "TextDecoder.mlmodelc");
    RecordingDecoder decoder;
    decoder.loadModel(scratch.path() / "TextDecoder.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(true);
    decoder.setPrefillData(std::make_shared<TextDecoderContextPrefill>());

    DecodingOptions translate;
    translate.task = DecodingTask::translate;
    translate.language = "de";
    auto inputs = inputsFor(decoder, translate);
    ASSERT_EQ(decoder.asked, (std::vector<std::pair<int64_t, int64_t>>{{1, kGerman}}));
    EXPECT_EQ(inputs->cacheLength()->value(0), 3);
    for (int64_t i = 0; i < 224; ++i) {
        EXPECT_EQ(inputs->kvCacheUpdateMask()->value(i), i == 3 ? 1 : 0) << i;
        EXPECT_EQ(inputs->decoderKeyPaddingMask()->value(i), i <= 3 ? 0 : -10000) << i;
    }
    // Row a, position i of the cache holds the prefill's element a * 3 + i.
    EXPECT_EQ(inputs->keyCache()->value({0, 2, 0, 1}), 107);
    EXPECT_EQ(inputs->valueCache()->value({0, 3, 0, 2}), -111);
    EXPECT_EQ(inputs->keyCache()->value({0, 2, 0, 3}), 0);

    // A single-language model asks for English transcription; previous context turns the prefill off.
    decoder.setIsModelMultilingual(false);
    inputsFor(decoder, translate);
    EXPECT_EQ(decoder.asked.back(), (std::pair<int64_t, int64_t>{0, kEnglish}));
    DecodingOptions withContext;
    withContext.promptTokens = Tokens{1, 2};
    EXPECT_EQ(inputsFor(decoder, withContext)->cacheLength()->value(0), 0);
    EXPECT_EQ(decoder.asked.size(), 2u);
}

TEST_F(TextDecoderTest, PrefillModelAndMissingModel) {
    // A real prefill model: the constant architecture hands out its stored caches.
    std::vector<Float16> keys(8, Float16(2)), values(8, Float16(-3));
    coreml::ModelFolderWriter("constant")
        .addInput("task", MLMultiArrayDataType::int32, {1})
        .addInput("language", MLMultiArrayDataType::int32, {1})
        .addOutput("key_cache_prefill", MLMultiArrayDataType::float16, {1, 4, 1, 2})
        .addOutput("value_cache_prefill", MLMultiArrayDataType::float16, {1, 4, 1, 2})
        .addTensor("key_cache_prefill", keys, {1, 4, 1, 2})
        .addTensor("value_cache_prefill", values, {1, 4, 1, 2})
        .write(scratch.path() / "TextDecoderContextPrefill.mlmodelc");
    auto decoder = load({});
    auto prefill = std::make_shared<TextDecoderContextPrefill>();
    prefill->loadModel(scratch.path() / "TextDecoderContextPrefill.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    decoder->setPrefillData(prefill);
    auto inputs = inputsFor(*decoder, DecodingOptions());
    EXPECT_EQ(inputs->cacheLength()->value(0), 2);
    EXPECT_EQ(inputs->valueCache()->value({0, 3, 0, 1}), -3);
    EXPECT_EQ(inputs->prefillKeyCache()->shape(), (std::vector<int64_t>{1, 4, 1, 2}));

    // A holder without a model: logged, and the cache stays empty.
    LogCapture log(pellux::Logging::LogLevel::error);
    decoder->setPrefillData(std::make_shared<TextDecoderContextPrefill>());
    auto unfilled = inputsFor(*decoder, DecodingOptions());
    EXPECT_EQ(unfilled->cacheLength()->value(0), 0);
    EXPECT_EQ(unfilled->initialPrompt(), (Tokens{kStart, kEnglish, kTranscribe, kTimeBegin}));
    EXPECT_EQ(log.messages, std::vector<std::string>{"Unable to prefill cache"});

    decoder->setTokenizer(nullptr);
    expectError([&] { inputsFor(*decoder, DecodingOptions()); }, WhisperError::Case::tokenizerUnavailable,
                "Tokenizer is unavailable");
}

TEST_F(TextDecoderTest, DecodesAScriptedWindow) {
    // Prompt [start, en, transcribe, 0.00] without prefill: positions 0-2 are forced, 3 predicts text.
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, 101, T(1.0), T(1.0), 102, T(2.0), kEnd};
    auto decoder = load(script);
    DecodingOptions options;
    options.usePrefillCache = false;
    const auto result = decode(*decoder, options);

    const Tokens expected{kStart, kEnglish, kTranscribe, kTimeBegin, 100, 101, T(1.0), T(1.0), 102, T(2.0), kEnd};
    EXPECT_EQ(result.tokens, expected);
    ASSERT_EQ(result.tokenLogProbs.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(result.tokenLogProbs[i].contains(expected[i]));
        const float lp = result.tokenLogProbs[i].at(expected[i]);
        if (i < 4 || i == expected.size() - 1) {
            EXPECT_EQ(lp, 0.0f) << i;  // forced prompt tokens and the end
        } else {
            EXPECT_GT(lp, -0.01f) << i;
        }
    }
    EXPECT_EQ(result.text, tokenizer->decode(expected));
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
    EXPECT_EQ(result.compressionRatio, TextUtilities::compressionRatio(Tokens{100, 101, 102}));
    EXPECT_EQ(result.temperature, 0.0f);
    EXPECT_FALSE(result.fallback.has_value());

    // Nine steps ran (positions 0-8); the ninth predicted the end. Cache position t holds key t + 1.
    ASSERT_TRUE(result.timings);
    EXPECT_EQ(result.timings->totalDecodingLoops, 10);
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 9);
    EXPECT_LT(result.timings->firstTokenTime, DBL_MAX);
    ASSERT_TRUE(result.cache);
    EXPECT_EQ(result.cache->keyCache, lastInputs->keyCache());
    EXPECT_EQ(result.cache->alignmentWeights, lastInputs->alignmentWeights());
    for (int64_t t = 0; t < 11; ++t) EXPECT_EQ(lastInputs->keyCache()->value({0, 1, 0, t}), t < 9 ? t + 1 : 0) << t;
    EXPECT_EQ(lastInputs->valueCache()->value({0, 0, 0, 3}), kTimeBegin % 1000);
    EXPECT_EQ(lastInputs->kvCacheUpdateMask()->value(9), 1);
    EXPECT_EQ(lastInputs->decoderKeyPaddingMask()->value(9), 0);
    EXPECT_EQ(lastInputs->decoderKeyPaddingMask()->value(10), -10000);
    // Row t + 1 of the alignment weights belongs to the token step t predicted (frame min(t, 7)).
    EXPECT_EQ(lastInputs->alignmentWeights()->value({5, 4}), 1);
    EXPECT_EQ(lastInputs->alignmentWeights()->value({9, 7}), 1);
    EXPECT_EQ(lastInputs->alignmentWeights()->value({0, 0}), 0);
}

TEST_F(TextDecoderTest, APredictedFirstTimestampReplacesThePrompts) {
    ScriptedDecoder script;
    script.tokens = {X, X, T(0.4), 100, kEnd};
    auto decoder = load(script);
    DecodingOptions options;
    options.usePrefillCache = false;
    LogCapture log(pellux::Logging::LogLevel::debug);
    const auto result = decode(*decoder, options);
    EXPECT_EQ(result.tokens, (Tokens{kStart, kEnglish, kTranscribe, T(0.4), 100, kEnd}));
    EXPECT_NE(std::find_if(log.messages.begin(), log.messages.end(),
                           [](const std::string& m) { return m.rfind("Skipping prompt tokenIndex: 3", 0) == 0; }),
              log.messages.end());
}

TEST_F(TextDecoderTest, LoopBoundaries) {
    ScriptedDecoder endless;  // never predicts the end on its own
    for (int64_t i = 0; i < 300; ++i) endless.tokens.push_back(i < 3 ? X : 1000 + i);
    auto decoder = load(endless);
    DecodingOptions options;
    options.usePrefillCache = false;
    options.withoutTimestamps = true;
    options.compressionRatioThreshold = std::nullopt;

    // The token list stops at 223 tokens, whatever the step limit asks for; the finalize adds the end.
    options.sampleLength = 100000;
    auto full = decode(*decoder, options);
    EXPECT_EQ(full.tokens.size(), 224u);
    EXPECT_EQ(full.tokens.back(), kEnd);
    EXPECT_FALSE(full.fallback.has_value());

    // A step limit at or below the prefilled index runs no step.
    options.sampleLength = 0;
    auto none = decode(*decoder, options);
    EXPECT_EQ(none.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, kEnd}));
    EXPECT_EQ(none.timings->totalDecodingLoops, 0);
    EXPECT_EQ(none.timings->decodingLoop, 0);
    EXPECT_EQ(none.timings->firstTokenTime, DBL_MAX);

    // The sampler completes at the first sampled step: the prompt and the end token.
    ScriptedDecoder ending;
    ending.tokens = {X, X, X, kEnd};
    auto ended = decode(*load(ending), options);
    EXPECT_EQ(ended.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, kEnd}));
    EXPECT_EQ(ended.timings->firstTokenTime, DBL_MAX);
    EXPECT_EQ(ended.avgLogProb, 0.0f);
}

TEST_F(TextDecoderTest, AShortCacheIsNeverWrittenPastItsEnd) {
    // Loaded behind the contract check's back: a model with a 16-position cache.
    ScriptedDecoder script;
    for (int64_t i = 0; i < 300; ++i) script.tokens.push_back(2000 + i);
    script.cacheLength = 16;
    script.write(scratch.path() / "Short.mlmodelc");
    TextDecoder decoder([](std::function<void()> job) { job(); });
    decoder.setModel(coreml::MLModel::load(scratch.path() / "Short.mlmodelc"));
    decoder.setTokenizer(tokenizer);
    DecodingOptions options;
    options.sampleLength = 224;
    options.withoutTimestamps = true;
    auto inputs = decoder.prepareDecoderInputs({kStart});
    decoder.prefillDecoderInputs(inputs, options);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    const auto result = decoder.decodeText(encoderOutput(), inputs, sampler, options);
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 15);  // positions 0 ... 14; mask position 15 is the last
    EXPECT_EQ(inputs->kvCacheUpdateMask()->value(15), 1);
}

TEST_F(TextDecoderTest, LoadRefusesModelsOutsideTheContract) {
    ScriptedDecoder shortCache;
    shortCache.cacheLength = 100;
    shortCache.write(scratch.path() / "Short.mlmodelc");
    TextDecoder refused;
    expectError([&] { refused.loadModel(scratch.path() / "Short.mlmodelc", coreml::MLComputeUnits::cpuOnly, false); },
                WhisperError::Case::modelsUnavailable,
                "TextDecoder model cannot be used: its cache holds 100 positions, at least 224 are needed");
    EXPECT_FALSE(refused.model());
    // Alignment weights over another window than the encoder output's.
    coreml::ModelFolderWriter writer("test.scriptedDecoder");
    writer.hyperParameters(R"({"tokens": []})")
        .addInput("input_ids", MLMultiArrayDataType::int32, {1})
        .addInput("cache_length", MLMultiArrayDataType::int32, {1})
        .addInput("key_cache", MLMultiArrayDataType::float16, {1, 4, 1, 224})
        .addInput("value_cache", MLMultiArrayDataType::float16, {1, 4, 1, 224})
        .addInput("kv_cache_update_mask", MLMultiArrayDataType::int32, {1, 224})
        .addInput("encoder_output_embeds", MLMultiArrayDataType::float16, {1, 6, 1, 8})
        .addInput("decoder_key_padding_mask", MLMultiArrayDataType::float16, {1, 224})
        .addOutput("logits", MLMultiArrayDataType::float16, {1, 1, kVocabulary})
        .addOutput("key_cache_updates", MLMultiArrayDataType::float16, {1, 4, 1, 1})
        .addOutput("value_cache_updates", MLMultiArrayDataType::float16, {1, 4, 1, 1})
        .addOutput("alignment_heads_weights", MLMultiArrayDataType::float16, {1, 1500})
        .write(scratch.path() / "Frames.mlmodelc");
    TextDecoder decoder;
    expectError([&] { decoder.loadModel(scratch.path() / "Frames.mlmodelc", coreml::MLComputeUnits::cpuOnly, false); },
                WhisperError::Case::modelsUnavailable,
                "TextDecoder model cannot be used: its alignment weights must cover the encoder output's 8 frames");
    EXPECT_FALSE(decoder.model());
}

TEST_F(TextDecoderTest, FallbackVerdicts) {
    DecodingOptions options;
    options.usePrefillCache = false;
    options.withoutTimestamps = true;
    options.firstTokenLogProbThreshold = -1.0f;
    // A peak of 9 over 51864 zeros gives the favoured token a log-probability of about -2. The first
    // token sampled is the one predicted after the last prompt token, at position 3.
    ScriptedDecoder weakFirst;
    weakFirst.tokens = {X, X, X, 100, 101, kEnd};
    weakFirst.peaks = {20, 20, 20, 9, 20, 20};
    const auto early = decode(*load(weakFirst), options);
    EXPECT_EQ(early.fallback, (DecodingFallback{true, "firstTokenLogProbThreshold"}));
    EXPECT_EQ(early.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, kEnd}));

    ScriptedDecoder weakLater = weakFirst;
    weakLater.peaks = {20, 20, 20, 20, 9, 20};
    const auto later = decode(*load(weakLater), options);
    EXPECT_EQ(later.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, 100, 101, kEnd}));
    EXPECT_FALSE(later.fallback.has_value());

    // A negative no-speech threshold reads as silence before the quality rules.
    options.noSpeechThreshold = -0.5f;
    options.logProbThreshold = 0.5f;
    EXPECT_EQ(decode(*load(weakLater), options).fallback, (DecodingFallback{false, "silence"}));
    options.noSpeechThreshold = 0.6f;
    EXPECT_EQ(decode(*load(weakLater), options).fallback, (DecodingFallback{true, "logProbThreshold"}));
}

TEST_F(TextDecoderTest, FirstTokenCheckJudgesTheFirstSampledToken) {
    // Predictions at forced prompt positions are discarded (position 0 is the language slot when no
    // prompt is prefilled): an unsure one must not fail the window.
    struct Case {
        const char* name;
        size_t weakPosition;
        std::optional<Tokens> prefix;
        bool tooLow;
    };
    const std::vector<Case> cases = {
        {"language slot", 0, std::nullopt, false},
        {"task slot", 1, std::nullopt, false},
        {"last forced slot", 2, std::nullopt, false},
        {"first sampled token", 3, std::nullopt, true},
        {"second sampled token", 4, std::nullopt, false},
        {"prefix slot", 3, Tokens{50}, false},
        {"first sampled token after a prefix", 4, Tokens{50}, true},
    };
    for (const auto& c : cases) {
        DecodingOptions options;
        options.usePrefillCache = false;
        options.withoutTimestamps = true;
        options.firstTokenLogProbThreshold = -1.0f;
        options.prefixTokens = c.prefix;
        ScriptedDecoder script;
        script.tokens = c.prefix ? Tokens{X, X, X, X, 100, 101, kEnd} : Tokens{X, X, X, 100, 101, kEnd};
        script.peaks.assign(script.tokens.size(), 20);
        script.peaks[c.weakPosition] = 9;
        const auto result = decode(*load(script), options);
        EXPECT_EQ(result.fallback == (DecodingFallback{true, "firstTokenLogProbThreshold"}), c.tooLow) << c.name;
        Tokens text = c.prefix.value_or(Tokens{});
        if (!c.tooLow) text.insert(text.end(), {100, 101});
        EXPECT_EQ(textOnly(result.tokens), text) << c.name;
    }
}

TEST_F(TextDecoderTest, LanguageAndTemperatureOfTheResult) {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, kEnd};
    auto decoder = load(script);
    DecodingOptions options;
    options.usePrefillCache = false;
    options.language = "de";
    auto german = decode(*decoder, options);
    EXPECT_EQ(german.language, "de");
    EXPECT_EQ(german.languageProbs, (std::map<std::string, float>{{"de", 0.0f}}));

    // Half-precision temperatures come back rounded to three places: 0.2 is stored as 0.19995.
    options.temperature = 0.7f;
    for (float temperature : {0.2f, 0.4f, 0.6f, 0.8f, 1.0f}) {
        ASSERT_NE(static_cast<float>(static_cast<Float16>(temperature)), temperature == 1.0f ? 0.0f : temperature);
        EXPECT_EQ(decode(*decoder, options, temperature).temperature, temperature);
    }
    // No language option and no language token: English.
    options.language.reset();
    options.withoutTimestamps = true;
    auto english = load(script, false);
    const auto plain = decode(*english, options);
    EXPECT_EQ(plain.tokens, (Tokens{kStart, kNoTimestamps, X, X, 100, kEnd}));
    EXPECT_EQ(plain.language, "en");
    EXPECT_EQ(plain.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
}

TEST_F(TextDecoderTest, FiltersOfAWindow) {
    auto decoder = load({});
    auto own = std::make_shared<SuppressTokensFilter>(Tokens{1});
    decoder->setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{own});
    DecodingOptions options;
    options.suppressBlank = false;
    options.supressTokens = {};
    options.withoutTimestamps = true;
    EXPECT_EQ(decoder->createLogitsFilters(options, 3, 4, *tokenizer), (std::vector<std::shared_ptr<LogitsFiltering>>{own}));

    options.suppressBlank = true;
    options.supressTokens = {7, kEnd, 8};
    options.withoutTimestamps = false;
    options.maxInitialTimestamp = 1.0f;
    const auto filters = decoder->createLogitsFilters(options, 3, 4, *tokenizer);
    ASSERT_EQ(filters.size(), 4u);
    EXPECT_EQ(dynamic_cast<SuppressBlankFilter&>(*filters[1]).sampleBegin(), 4);
    EXPECT_EQ(dynamic_cast<SuppressTokensFilter&>(*filters[2]).suppressTokens(), (Tokens{7, 8}));
    const auto& timestamps = dynamic_cast<TimestampRulesFilter&>(*filters[3]);
    EXPECT_EQ(timestamps.sampleBegin(), 4);
    EXPECT_EQ(timestamps.maxInitialTimestampIndex(), 50);
    EXPECT_TRUE(timestamps.isModelMultilingual());
}

TEST_F(TextDecoderTest, SuppressBlankFiresAtTheFirstSampledToken) {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 220, 220, kEnd};  // a lone space first, with or without a prefilled prompt
    DecodingOptions options;
    options.withoutTimestamps = true;
    options.firstTokenLogProbThreshold = std::nullopt;
    options.suppressBlank = true;
    options.usePrefillCache = false;
    auto decoder = load(script);
    // Forbidden at the first sampled position, the most likely remaining token (id 0) comes instead.
    EXPECT_EQ(decode(*decoder, options).tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, 0, 220, kEnd}));

    auto recording = std::make_shared<RecordingDecoder>([](std::function<void()> job) { job(); });
    script.write(scratch.path() / "Prefilled.mlmodelc");
    recording->loadModel(scratch.path() / "Prefilled.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    recording->setTokenizer(tokenizer);
    recording->setIsModelMultilingual(true);
    recording->setPrefillData(std::make_shared<TextDecoderContextPrefill>());
    options.usePrefillCache = true;
    auto inputs = inputsFor(*recording, options);
    ASSERT_EQ(inputs->cacheLength()->value(0), 3);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    EXPECT_EQ(recording->decodeText(encoderOutput(), inputs, sampler, options).tokens,
              (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, 0, 220, kEnd}));
}

TEST_F(TextDecoderTest, EarlyStopFromTheCallback) {
    ScriptedDecoder script;
    for (int64_t i = 0; i < 50; ++i) script.tokens.push_back(i < 3 ? X : 500 + i);
    auto decoder = load(script);
    DecodingOptions options;
    options.usePrefillCache = false;
    options.withoutTimestamps = true;

    // False at every step: ignored at the forced positions 0 to 2, honoured from position 3 on.
    std::vector<size_t> seen;
    auto stopped = decode(*decoder, options, 0, [&](const TranscriptionProgress& p) -> std::optional<bool> {
        seen.push_back(p.tokens.size());
        return false;
    });
    EXPECT_EQ(seen, (std::vector<size_t>{4, 4, 4, 5}));
    EXPECT_EQ(stopped.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, 503, kEnd}));

    // True or nothing never stops; false once the text holds two tokens does.
    auto late = decode(*decoder, options, 0, [&](const TranscriptionProgress& p) -> std::optional<bool> {
        if (p.tokens.size() < 6) return p.tokens.size() % 2 == 0 ? std::optional<bool>(true) : std::nullopt;
        EXPECT_EQ(p.text, tokenizer->decode(p.tokens));
        EXPECT_EQ(p.windowId, 0);
        return false;
    });
    EXPECT_EQ(late.tokens, (Tokens{kStart, kEnglish, kTranscribe, kNoTimestamps, 503, 504, kEnd}));
}

TEST_F(TextDecoderTest, DecodingErrors) {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, kEnd};
    auto decoder = load(script);
    DecodingOptions options;
    options.usePrefillCache = false;
    auto inputs = inputsFor(*decoder, options);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);

    expectError([&] { decoder->decodeText(nullptr, inputs, sampler, options); },
                WhisperError::Case::prepareDecoderInputsFailed, "Input must be MLMultiArray");
    struct Other : TextDecoderInputType {};
    expectError([&] { decoder->predictLogits(Other{}); }, WhisperError::Case::transcriptionFailed,
                "Input must be TextDecoderMLMultiArrayInputType");

    auto empty = decoder->prepareDecoderInputs({});
    expectError([&] { decoder->decodeText(encoderOutput(), empty, sampler, options); }, WhisperError::Case::decodingFailed,
                "The decoder's initial prompt is empty");

    ScriptedDecoder noUpdates = script;
    noUpdates.withCacheUpdates = false;
    noUpdates.write(scratch.path() / "NoUpdates.mlmodelc");
    TextDecoder bare;
    bare.setModel(coreml::MLModel::load(scratch.path() / "NoUpdates.mlmodelc"));
    bare.setTokenizer(tokenizer);
    expectError([&] { bare.decodeText(encoderOutput(), inputsFor(bare, options), sampler, options); },
                WhisperError::Case::decodingFailed, "The decoder model gave no key and value cache updates");

    // Cancelled before the next prediction.
    std::stop_source source;
    source.request_stop();
    {
        foundation::CancellationScope scope(source.get_token());
        EXPECT_THROW(decoder->decodeText(encoderOutput(), inputsFor(*decoder, options), sampler, options),
                     foundation::CancellationError);
    }

    decoder->unloadModel();
    expectError([&] { decoder->decodeText(encoderOutput(), inputs, sampler, options); },
                WhisperError::Case::decodingLogitsFailed, "Unable to decode logits");
    expectError([&] { decoder->detectLanguage(encoderOutput(), inputs, sampler, options, Float16(0)); },
                WhisperError::Case::modelsUnavailable, "Failed to read logits size from model");
    decoder->setTokenizer(nullptr);
    expectError([&] { decoder->decodeText(encoderOutput(), inputs, sampler, options); },
                WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
}

namespace {

// Reads the German token as a code the engine does not know.
class OddLanguageTokenizer : public FakeWhisperTokenizer {
public:
    std::string decode(const std::vector<int64_t>& tokens) const override {
        return tokens == std::vector<int64_t>{kGerman} ? "<|zz|>" : FakeWhisperTokenizer::decode(tokens);
    }
};

}  // namespace

TEST_F(TextDecoderTest, LanguageDetection) {
    ScriptedDecoder script;
    script.tokens = {kGerman};
    auto decoder = load(script);
    DecodingOptions options;
    auto inputs = decoder->prepareDecoderInputs({kStart});
    inputs->cacheLength()->setValue(0, 5);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    const auto result = decoder->detectLanguage(encoderOutput(), inputs, sampler, options, Float16(0));
    EXPECT_EQ(result.language, "de");
    ASSERT_EQ(result.languageProbs.size(), 1u);
    EXPECT_NEAR(result.languageProbs.at("de"), 0.0f, 1e-3f);
    EXPECT_TRUE(result.tokens.empty());
    EXPECT_FALSE(result.cache || result.fallback);
    EXPECT_EQ(inputs->cacheLength()->value(0), 0);
    EXPECT_EQ(inputs->inputIds()->value(0), kStart);

    // A text token scripted first: only language tokens remain, the first of them wins.
    ScriptedDecoder text;
    text.tokens = {100};
    EXPECT_EQ(load(text)->detectLanguage(encoderOutput(), inputs, sampler, options, Float16(0)).language, "en");

    decoder->setTokenizer(std::make_shared<OddLanguageTokenizer>());
    decoder->unloadModel();  // forgets the language filter built with the other tokenizer's languages
    decoder = load(script);
    decoder->setTokenizer(std::make_shared<OddLanguageTokenizer>());
    LogCapture log(pellux::Logging::LogLevel::error);
    const auto odd = decoder->detectLanguage(encoderOutput(), inputs, sampler, options, Float16(0));
    EXPECT_EQ(odd.language, "en");
    EXPECT_TRUE(odd.languageProbs.contains("zz"));
    EXPECT_EQ(log.messages, std::vector<std::string>{"Detected language zz is not supported, defaulting to en"});
}

TEST_F(TextDecoderTest, CacheCopies) {
    auto tensor = MLMultiArray::make({6, 3}, MLMultiArrayDataType::float16);
    auto slice = MLMultiArray::make({1, 3}, MLMultiArrayDataType::float16);
    for (int64_t i = 0; i < 3; ++i) slice->setValue(i, i + 1);
    TextDecoding::updateAlignmentWeights(*tensor, *slice, 4);
    for (int64_t r = 0; r < 6; ++r)
        for (int64_t c = 0; c < 3; ++c) EXPECT_EQ(tensor->value({r, c}), r == 5 ? c + 1 : 0);
    expectError([&] { TextDecoding::updateAlignmentWeights(*tensor, *slice, 5); }, WhisperError::Case::decodingFailed,
                "Alignment weights for position 5 do not fit the alignment tensor");

    auto keys = MLMultiArray::make({1, 2, 1, 4}, MLMultiArrayDataType::float16);
    auto values = MLMultiArray::make({1, 2, 1, 4}, MLMultiArrayDataType::float16);
    auto update = MLMultiArray::make({1, 2, 1, 2}, MLMultiArrayDataType::float16);
    for (int64_t i = 0; i < 4; ++i) update->setValue(i, i + 1);
    TextDecoding::updateKVCache(*keys, *update, *values, *update, 2);
    EXPECT_EQ(keys->floatValues(), (std::vector<float>{0, 0, 1, 2, 0, 0, 3, 4}));
    expectError([&] { TextDecoding::updateKVCache(*keys, *update, *values, *update, 3); }, WhisperError::Case::decodingFailed,
                "A cache slice of 2 positions at 3 does not fit a cache of 4");
}

TEST_F(TextDecoderTest, RandomWhisperModelKeepsItsCacheProtocol) {
    coreml::whisper::TestModelOptions modelOptions;
    modelOptions.writeTokenizer = false;
    coreml::whisper::writeTestModel(scratch.path(), modelOptions);
    auto decoder = std::make_shared<TextDecoder>([](std::function<void()> job) { job(); });
    decoder->loadModel(scratch.path() / "TextDecoder.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    decoder->setTokenizer(tokenizer);
    decoder->setIsModelMultilingual(true);
    ASSERT_TRUE(decoder->supportsWordTimestamps());

    auto encoder = MLMultiArray::make({1, 64, 1, 1500}, MLMultiArrayDataType::float16);
    for (int64_t i = 0; i < encoder->count(); ++i) encoder->setValue(i, std::sin(0.001 * static_cast<double>(i)));
    DecodingOptions options;
    options.sampleLength = 24;
    options.firstTokenLogProbThreshold = std::nullopt;  // a random model is never sure of anything
    auto inputs = decoder->prepareDecoderInputs({kStart});
    decoder->prefillDecoderInputs(inputs, options);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);
    const auto first = decoder->decodeText(encoder, inputs, sampler, options);
    const auto steps = static_cast<int64_t>(first.timings->totalKVUpdateRuns);
    ASSERT_GT(steps, 0);
    // Every position the loop ran holds keys; none after it.
    EXPECT_NE(inputs->keyCache()->value({0, 0, 0, steps - 1}), 0);
    EXPECT_EQ(inputs->keyCache()->value({0, 0, 0, steps}), 0);

    // Reset to the (empty) prefilled state, the same window decodes to the same tokens.
    inputs->reset(0, Constants::maxTokenContext);
    const auto second = decoder->decodeText(encoder, inputs, sampler, options);
    EXPECT_EQ(second.tokens, first.tokens);
    EXPECT_EQ(second.tokenLogProbs, first.tokenLogProbs);
}

TEST_F(TextDecoderTest, ProgressRunsOnThePoolAndNeverOutlivesTheDecoder) {
    ScriptedDecoder script;
    script.tokens = {X, X, X, 100, 101, 102, kEnd};
    script.write(scratch.path() / "Pool.mlmodelc");
    auto decoder = std::make_shared<TextDecoder>();  // progress on the shared task pool
    decoder->loadModel(scratch.path() / "Pool.mlmodelc", coreml::MLComputeUnits::cpuOnly, false);
    decoder->setTokenizer(tokenizer);
    DecodingOptions options;
    options.usePrefillCache = false;
    auto inputs = inputsFor(*decoder, options);
    GreedyTokenSampler sampler(Float16(0), kEnd, options);

    const auto caller = std::this_thread::get_id();
    std::atomic<int> calls{0}, offThread{0};
    const auto result = decoder->decodeText(encoderOutput(), inputs, sampler, options, [&](const TranscriptionProgress&) {
        offThread += std::this_thread::get_id() != caller;
        ++calls;
        return std::optional<bool>(true);
    });
    EXPECT_EQ(result.tokens.size(), 8u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls < 6 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(calls, 6);  // one per step that updated the cache
    EXPECT_EQ(offThread, 6);

    // Reports still queued when the decoder goes away do nothing: every pool thread is held until then.
    auto& pool = foundation::TaskPool::shared();
    std::atomic<bool> release{false};
    std::atomic<size_t> held{0};
    for (size_t i = 0; i < pool.threadCount(); ++i) {
        pool.post([&] {
            ++held;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    while (held < pool.threadCount()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<int> late{0};
    auto again = inputsFor(*decoder, options);
    decoder->decodeText(encoderOutput(), again, sampler, options, [&](const TranscriptionProgress&) {
        ++late;
        return std::optional<bool>(false);
    });
    decoder.reset();
    release = true;
    std::atomic<bool> drained{false};
    pool.post([&] { drained = true; });
    while (!drained) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(late, 0);
}
