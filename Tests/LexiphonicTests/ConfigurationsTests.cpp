#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Lexiphonic/Core/Configurations.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"
#include "Lexiphonic/Utilities/Extensions+Public.hpp"

using namespace lexiphonic;

namespace {

std::string encoded(const DecodingOptions& options) {
    foundation::JSONWriter writer;
    options.encode(writer);
    return writer.str();
}

DecodingOptions decoded(const std::string& json) {
    auto document = foundation::JSONDocument::parse(json);
    return DecodingOptions::decode(document.root());
}

// The default options' encoded form with one exact piece of it replaced.
std::string defaultsWith(const std::string& piece, const std::string& replacement) {
    auto json = encoded(DecodingOptions());
    auto at = json.find(piece);
    EXPECT_NE(at, std::string::npos) << piece;
    return json.replace(at, piece.size(), replacement);
}

DecodingError::Case decodingFailure(const std::string& json, std::string* description = nullptr) {
    try {
        decoded(json);
    } catch (const DecodingError& error) {
        if (description) *description = error.debugDescription();
        return error.kind();
    }
    ADD_FAILURE() << "decoded without error: " << json;
    return DecodingError::Case::dataCorrupted;
}

}  // namespace

TEST(DecodingOptionsTests, DefaultsAndConstructionRules) {
    DecodingOptions o;
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_FALSE(o.language);
    EXPECT_EQ(o.temperature, 0.0f);
    EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt && o.usePrefillCache);
    EXPECT_FALSE(o.detectLanguage || o.skipSpecialTokens || o.withoutTimestamps || o.wordTimestamps || o.suppressBlank);
    EXPECT_FALSE(o.maxInitialTimestamp || o.maxWindowSeek || o.promptTokens || o.prefixTokens || o.chunkingStrategy);
    EXPECT_TRUE(o.clipTimestamps.empty() && o.supressTokens.empty());
    EXPECT_EQ(o.windowClipTime, 1.0f);
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);

    struct Case {
        bool usePrefillPrompt;
        std::optional<bool> detectLanguage;
        std::optional<int64_t> workers;
        bool expectedDetect;
        int64_t expectedWorkers;
    };
    for (const auto& c : std::vector<Case>{{false, std::nullopt, std::nullopt, true, 16},
                                           {false, false, 0, false, 0},
                                           {true, std::nullopt, 3, false, 3},
                                           {true, true, std::nullopt, true, 16}}) {
        DecodingOptions::Params p;
        p.usePrefillPrompt = c.usePrefillPrompt;
        p.detectLanguage = c.detectLanguage;
        p.concurrentWorkerCount = c.workers;
        DecodingOptions built(p);
        EXPECT_EQ(built.detectLanguage, c.expectedDetect);
        EXPECT_EQ(built.concurrentWorkerCount, c.expectedWorkers);
    }
}

TEST(DecodingOptionsTests, SeekClipsFromClipTimestamps) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::vector<float> timestamps;
        std::vector<SeekClip> expected;
    };
    const std::vector<Case> cases = {
        {{}, {{0, 480000}}},
        {{1.5f}, {{24000, 480000}}},
        {{0, 10, 20}, {{0, 160000}, {320000, 480000}}},
        {{10, 5}, {{160000, 80000}}},  // an end before its start is passed on
        {{-1}, {{-16000, 480000}}},
        {{0.00003125f}, {{1, 480000}}},  // 0.5 samples rounds away from zero
        // Timestamps that have no sample index fall back to the bounds of the audio.
        {{std::nanf(""), inf}, {{0, 480000}}},
        {{-inf, 1e30f}, {{0, 480000}}},
    };
    for (const auto& c : cases) {
        DecodingOptions::Params p;
        p.clipTimestamps = c.timestamps;
        EXPECT_EQ(DecodingOptions(p).prepareSeekClips(480000), c.expected) << c.timestamps.size();
    }
}

TEST(DecodingOptionsTests, EncodedFormOfDefaults) {
    EXPECT_EQ(encoded(DecodingOptions()),
              R"({"verbose":false,"task":{"transcribe":{}},"temperature":0,"temperatureIncrementOnFallback":0.2,)"
              R"("temperatureFallbackCount":5,"sampleLength":224,"topK":5,"usePrefillPrompt":true,"usePrefillCache":true,)"
              R"("detectLanguage":false,"skipSpecialTokens":false,"withoutTimestamps":false,"wordTimestamps":false,)"
              R"("clipTimestamps":[],"windowClipTime":1,"suppressBlank":false,"supressTokens":[],)"
              R"("compressionRatioThreshold":2.4,"logProbThreshold":-1,"firstTokenLogProbThreshold":-1.5,)"
              R"("noSpeechThreshold":0.6,"concurrentWorkerCount":16})");
}

TEST(DecodingOptionsTests, RoundTripKeepsEveryField) {
    DecodingOptions::Params p;
    p.verbose = true;
    p.task = DecodingTask::translate;
    p.language = "de";
    p.temperature = 0.4f;
    p.maxInitialTimestamp = 1.0f;
    p.maxWindowSeek = 32000;
    p.clipTimestamps = {0.5f, 2.25f};
    p.promptTokens = std::vector<int64_t>{1, 2};
    p.prefixTokens = std::vector<int64_t>{};
    p.supressTokens = std::vector<int64_t>{-1, 50257};
    p.noSpeechThreshold = std::nullopt;
    p.chunkingStrategy = ChunkingStrategy::vad;
    DecodingOptions original(p);
    auto back = decoded(encoded(original));
    EXPECT_EQ(encoded(back), encoded(original));
    EXPECT_EQ(back.task, DecodingTask::translate);
    EXPECT_EQ(back.language, "de");
    EXPECT_EQ(back.prefixTokens, std::vector<int64_t>{});
    EXPECT_FALSE(back.noSpeechThreshold);
    EXPECT_EQ(back.chunkingStrategy, ChunkingStrategy::vad);
}

TEST(DecodingOptionsTests, ReadingAppliesNoDefaults) {
    // A read value is taken as it is, whatever the construction rule would give.
    auto o = decoded(defaultsWith("\"usePrefillPrompt\":true", "\"usePrefillPrompt\":false"));
    EXPECT_FALSE(o.usePrefillPrompt);
    EXPECT_FALSE(o.detectLanguage);
    // Optional keys may be null or missing; unknown keys are ignored.
    auto nulls = decoded(defaultsWith("\"noSpeechThreshold\":0.6", "\"noSpeechThreshold\":null,\"extra\":1"));
    EXPECT_FALSE(nulls.noSpeechThreshold);
    EXPECT_FALSE(nulls.language);
}

TEST(DecodingOptionsTests, ReadingFailures) {
    struct Case {
        std::string json;
        DecodingError::Case expected;
        std::string description;
    };
    const std::string invalidKeys = "Invalid number of keys found, expected one.";
    const std::vector<Case> cases = {
        {defaultsWith("\"topK\":5,", ""), DecodingError::Case::keyNotFound, "No value associated with key \"topK\"."},
        {defaultsWith("\"topK\":5", "\"topK\":\"5\""), DecodingError::Case::typeMismatch, ""},
        {defaultsWith("\"verbose\":false", "\"verbose\":1"), DecodingError::Case::typeMismatch, ""},
        {defaultsWith(R"("task":{"transcribe":{}})", R"("task":{"transcribe":{},"translate":{}})"), DecodingError::Case::typeMismatch,
         invalidKeys},
        {defaultsWith(R"("task":{"transcribe":{}})", R"("task":{})"), DecodingError::Case::typeMismatch, invalidKeys},
        {defaultsWith(R"("task":{"transcribe":{}})", R"("task":{"transcribe":1})"), DecodingError::Case::typeMismatch, ""},
        {defaultsWith(R"("concurrentWorkerCount":16)", R"("concurrentWorkerCount":16,"chunkingStrategy":"VAD")"),
         DecodingError::Case::dataCorrupted, ""},
        {"[]", DecodingError::Case::typeMismatch, ""},
    };
    for (const auto& c : cases) {
        std::string description;
        EXPECT_EQ(decodingFailure(c.json, &description), c.expected) << c.json;
        if (!c.description.empty()) {
            EXPECT_EQ(description, c.description) << c.json;
        }
    }
}

TEST(DecodingOptionsTests, TaskAndChunkingStrategyForms) {
    EXPECT_EQ(description(DecodingTask::translate), "translate");
    EXPECT_EQ(allDecodingTasks.front(), DecodingTask::transcribe);
    auto task = foundation::JSONDocument::parse(R"({"other":{},"translate":{"ignored":true}})");
    EXPECT_EQ(decodeDecodingTask(task.root()), DecodingTask::translate);

    EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategyFromRawValue("VAD"), std::nullopt);
    EXPECT_EQ(rawValue(allChunkingStrategies.front()), "none");
}

TEST(ModelComputeOptionsTests, DefaultsAndGivenEncoderUnits) {
    using coreml::MLComputeUnits;
    ModelComputeOptions defaults;
    EXPECT_EQ(defaults.melCompute, MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(defaults.audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.textDecoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.prefillCompute, MLComputeUnits::cpuOnly);
    EXPECT_EQ(ModelComputeOptions::defaultAudioEncoderCompute(false), MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(ModelComputeOptions({.audioEncoderCompute = MLComputeUnits::cpuOnly}).audioEncoderCompute,
              MLComputeUnits::cpuOnly);
}

TEST(LexiphonicConfigTests, StoresArgumentsUnresolved) {
    LexiphonicConfig config({.model = "large-v3-turbo", .verbose = false, .logLevel = pellux::Logging::LogLevel::debug});
    EXPECT_EQ(config.model, "large-v3-turbo");
    EXPECT_FALSE(config.modelRepo || config.computeOptions || config.audioInputConfig || config.load);
    EXPECT_EQ(config.textDecoder, nullptr);
    EXPECT_FALSE(config.verbose);
    EXPECT_EQ(config.logLevel, pellux::Logging::LogLevel::debug);
}

TEST(PublicHelpersTests, TextTransformations) {
    const std::vector<std::pair<std::string, std::string>> trims = {
        {"<|en|>", "en"}, {"a<|b", "a<|b"}, {"<|>", ""}, {"|\u00e9t\u00e9>", "\u00e9t\u00e9"}};
    for (const auto& [in, out] : trims) EXPECT_EQ(trimmingSpecialTokenCharacters(in), out) << in;

    const std::vector<std::pair<std::string, std::string>> norms = {
        {" Hello,  World - Test! ", "hello world test"},
        {"well-known", "well known"},
        {"\u00c9COLE \u00abfin\u00bb\n", "\u00e9cole fin"},
    };
    for (const auto& [in, out] : norms) EXPECT_EQ(normalized(in), out) << in;
}

TEST(PublicHelpersTests, SegmentLookupAndBatchResults) {
    TranscriptionSegment a;
    a.start = 1.5f;
    a.text = "a";
    TranscriptionSegment b = a;
    b.text = "different";
    EXPECT_FALSE(contains({}, a));
    EXPECT_TRUE(contains({b}, a));
    b.start = 1.5000001f;
    EXPECT_FALSE(contains({b}, a));

    auto one = std::make_shared<TranscriptionResult>("x", std::vector<TranscriptionSegment>{}, "en", TranscriptionTimings());
    std::vector<TranscriptionBatchResult> batch = {
        TranscriptionResults{one}, std::make_exception_ptr(std::runtime_error("boom")), TranscriptionResults{}};
    auto out = toOptionalArrays(batch);
    ASSERT_EQ(out.size(), 3u);
    ASSERT_TRUE(out[0]);
    EXPECT_EQ(out[0]->front(), one);
    EXPECT_FALSE(out[1]);
    ASSERT_TRUE(out[2]);
    EXPECT_TRUE(out[2]->empty());
}
