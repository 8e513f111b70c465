// The facade end to end: a tiny random-weight model folder served by the loopback hub, downloaded,
// loaded on first use and run over real speech; loading, set-up failures and batches.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "HubServer/HubServer.hpp"
#include "LogCapture.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Lexiphonic.hpp"
#include "Lexiphonic/Core/TextDecoder.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/Foundation/Environment.hpp"

using namespace lexiphonic;
namespace fs = std::filesystem;
using pellux::ModelState;

namespace {

constexpr const char* kRepo = "pelluxinc/lexiphonic-coreml";

const std::vector<float>& speech() {
    static const std::vector<float> samples = [] {
        if (!fs::exists(QUORVEL_SPEECH)) return std::vector<float>{};
        return AudioProcessor::loadAudioAsFloatArray(QUORVEL_SPEECH);
    }();
    return samples;
}

// A repository holding one tiny model folder (and a decoy folder of another variant).
class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (speech().empty()) GTEST_SKIP() << "the build made no speech clip (espeak-ng and sox are missing)";
        // Most random weights emit one token whatever they hear; these decode each stretch of the
        // speech below to a text of its own, so results that trade places are seen.
        coreml::whisper::TestModelOptions model;
        model.seed = 2;
        coreml::whisper::writeTestModel(repos.path() / kRepo / "openai_whisper-tiny", model);
        repos.write(std::string(kRepo) + "/openai_whisper-small/README.md", "another variant");
        server = std::make_unique<hubtest::HubServer>(hubtest::HubServer::Options{.root = repos.path()});
    }

    LexiphonicConfig config(std::optional<std::string> model = "tiny") {
        LexiphonicConfig::Params p;
        p.model = std::move(model);
        p.downloadBase = cache.path();
        p.modelEndpoint = server->baseURL();
        p.audioProcessor = std::make_shared<AudioProcessor>(std::make_shared<avfoundation::FakeAudioInputBackend>());
        p.verbose = false;
        return LexiphonicConfig(std::move(p));
    }

    // Greedy decoding of a few tokens per window. Random weights are never sure of their first
    // token: without the first-token threshold off, every window would stop there with no text.
    static DecodingOptions deterministic() {
        DecodingOptions o;
        o.temperatureFallbackCount = 0;  // no sampling at a temperature above 0
        o.firstTokenLogProbThreshold = std::nullopt;
        o.sampleLength = 8;
        return o;
    }

    // Two seconds of the speech from `second` on.
    static std::vector<float> stretch(int second) {
        return std::vector<float>(speech().begin() + second * 16000, speech().begin() + (second + 2) * 16000);
    }

    hubtest::TemporaryFolder repos;
    hubtest::TemporaryFolder cache;
    std::unique_ptr<hubtest::HubServer> server;
};

}  // namespace

TEST_F(FacadeTest, DownloadsLoadsOnFirstUseAndTranscribes) {
    auto facade = Lexiphonic::create(config());
    ASSERT_TRUE(facade->modelFolder());
    EXPECT_EQ(facade->modelFolder()->filename(), "openai_whisper-tiny");
    EXPECT_TRUE(fs::exists(*facade->modelFolder() / "TextDecoder.mlmodelc" / "model.json"));
    EXPECT_FALSE(fs::exists(facade->modelFolder()->parent_path() / "openai_whisper-small"));
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);

    std::vector<std::pair<std::optional<ModelState>, ModelState>> states;
    facade->setModelStateCallback([&](std::optional<ModelState> from, ModelState to) { states.emplace_back(from, to); });

    // The app's call: no options, no callbacks.
    auto results = facade->transcribe(speech(), std::nullopt, {}, {});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], std::make_pair(std::optional(ModelState::unloaded), ModelState::loading));
    EXPECT_EQ(states[1], std::make_pair(std::optional(ModelState::loading), ModelState::loaded));
    ASSERT_TRUE(facade->tokenizer());
    EXPECT_EQ(facade->textDecoder()->tokenizer(), facade->tokenizer());
    EXPECT_GT(facade->currentTimings().modelLoading, 0);

    // Random weights give meaningless text, but the same text every time for the same weights.
    auto first = facade->transcribe(std::span<const float>(speech()), deterministic());
    auto second = facade->transcribe(std::span<const float>(speech()), deterministic());
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(first->text().empty());
    EXPECT_EQ(first->text(), second->text());
    EXPECT_EQ(first->segments(), second->segments());
    EXPECT_EQ(states.size(), 2u);  // loaded once

    // Unloading keeps the tokenizer; the next transcription loads the models again.
    facade->unloadModels();
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);
    auto again = facade->transcribe(std::span<const float>(speech()), deterministic());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text(), first->text());
    EXPECT_EQ(again->segments(), first->segments());
}

TEST_F(FacadeTest, SetUpFailures) {
    // No folder matches the variant: the set-up's wrapped message.
    try {
        Lexiphonic::create(config("medium"));
        ADD_FAILURE() << "expected an error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.errorCase(), WhisperError::Case::modelsUnavailable);
        EXPECT_EQ(error.message().rfind("Model not found. Please check the model or repo name and try again.\nError: ", 0), 0u)
            << error.message();
        EXPECT_NE(error.message().find("No models found matching"), std::string::npos) << error.message();
        EXPECT_NE(error.message().find("*openai*medium/*"), std::string::npos) << error.message();
    }

    // No folder and no download: a facade without models, whose load names the missing folder.
    LexiphonicConfig offline = config();
    offline.download = false;
    auto facade = Lexiphonic::create(offline);
    EXPECT_FALSE(facade->modelFolder());
    try {
        facade->loadModels(false);
        ADD_FAILURE() << "expected an error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Model folder is not set.");
    }
    EXPECT_EQ(facade->modelState(), ModelState::loading);

    // A folder without the mel model: nothing is loaded.
    fs::create_directories(cache.path() / "partial" / "TextDecoder.mlmodelc");
    fs::create_directories(cache.path() / "partial" / "AudioEncoder.mlmodelc");
    offline.modelFolder = (cache.path() / "partial").string();
    offline.load = false;
    auto partial = Lexiphonic::create(offline);
    try {
        partial->loadModels(false);
        ADD_FAILURE() << "expected an error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Model file not found at " + (cache.path() / "partial" / "MelSpectrogram.mlmodelc").string());
    }
}

TEST_F(FacadeTest, OverlappingLoadsAreSerialised) {
    LexiphonicConfig c = config();
    c.prewarm = true;
    auto facade = Lexiphonic::create(c);
    EXPECT_EQ(facade->modelState(), ModelState::prewarmed);
    EXPECT_GT(facade->currentTimings().prewarmLoadTime, 0);

    std::vector<ModelState> states;
    std::mutex statesMutex;
    facade->setModelStateCallback([&](std::optional<ModelState>, ModelState to) {
        std::lock_guard lock(statesMutex);
        states.push_back(to);
    });
    std::thread a([&] { facade->loadModels(false); });
    std::thread b([&] { facade->loadModels(false); });
    a.join();
    b.join();
    // Each load ran whole before the other began.
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::loading, ModelState::loaded, ModelState::loading, ModelState::loaded}));
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
}

TEST_F(FacadeTest, Batches) {
    auto facade = Lexiphonic::create(config());
    // Three different stretches, each decoded alone first: the batch must give each input its own result.
    const std::vector<std::vector<float>> inputs = {stretch(0), stretch(3), stretch(6)};
    std::vector<std::shared_ptr<TranscriptionResult>> alone;
    for (const auto& input : inputs) alone.push_back(facade->transcribe(std::span<const float>(input), deterministic()));
    for (size_t i = 0; i < alone.size(); ++i) {
        ASSERT_TRUE(alone[i]);
        for (size_t j = 0; j < i; ++j) ASSERT_NE(alone[i]->text(), alone[j]->text()) << "inputs " << j << " and " << i;
    }
    const std::vector<size_t> order = {0, 1, 2, 0, 1};
    std::vector<std::vector<float>> arrays;
    for (size_t k : order) arrays.push_back(inputs[k]);

    // Unbalanced options: one failure, nothing transcribed.
    facade->unloadModels();
    auto unbalanced = facade->transcribeWithOptions(arrays, {deterministic(), deterministic()});
    ASSERT_EQ(unbalanced.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(unbalanced[0]));
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);

    for (int64_t workers : {2, 0, -1}) {
        DecodingOptions o = deterministic();
        o.concurrentWorkerCount = workers;
        auto results = facade->transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(order.size(), o));
        // One result per input, in input order, whatever the worker count.
        ASSERT_EQ(results.size(), order.size()) << workers;
        for (size_t i = 0; i < order.size(); ++i) {
            ASSERT_TRUE(std::holds_alternative<TranscriptionResults>(results[i])) << workers;
            const auto& result = std::get<TranscriptionResults>(results[i]).front();
            EXPECT_EQ(result->text(), alone[order[i]]->text()) << workers << " workers, input " << i;
            EXPECT_EQ(result->segments(), alone[order[i]]->segments()) << workers << " workers, input " << i;
        }
    }

    // Files: an unreadable path keeps its place as a failure.
    std::vector<TranscriptionState> reported;
    facade->setTranscriptionStateCallback([&](TranscriptionState s) { reported.push_back(s); });
    auto files = facade->transcribeWithResults(
        std::vector<std::string>{QUORVEL_SPEECH, "/nonexistent.wav", QUORVEL_SPEECH},
        deterministic());
    ASSERT_EQ(files.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<TranscriptionResults>(files[0]));
    EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(files[1]));
    EXPECT_TRUE(std::holds_alternative<TranscriptionResults>(files[2]));
    EXPECT_EQ(reported, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio, TranscriptionState::transcribing,
                                                         TranscriptionState::finished}));
}

TEST_F(FacadeTest, LanguageDetectionAndVoiceActivityChunks) {
    auto facade = Lexiphonic::create(config());
    auto [language, probabilities] = facade->detectLangauge(speech());
    EXPECT_FALSE(language.empty());
    EXPECT_TRUE(probabilities.contains(language));
    EXPECT_THROW(facade->detectLanguage("/nonexistent.wav"), WhisperError);

    // Forty seconds with a silent gap: voice-activity chunks, each moved to its place in the audio.
    std::vector<float> long_(speech());
    long_.resize(20 * 16000, 0.0f);
    long_.insert(long_.end(), speech().begin(), speech().end());
    long_.resize(40 * 16000, 0.0f);
    DecodingOptions o = deterministic();
    o.chunkingStrategy = ChunkingStrategy::vad;
    auto results = facade->transcribe(long_, o, {}, {});
    ASSERT_GE(results.size(), 2u);
    EXPECT_EQ(results[0]->seekTime(), 0.0f);
    ASSERT_TRUE(results[1]->seekTime());
    EXPECT_GT(*results[1]->seekTime(), 10.0f);
}

TEST_F(FacadeTest, TokenizerFromLocalFoldersOrTheRepository) {
    // The tokenizer repository on the loopback service holds the same files as the model folder.
    const fs::path model = repos.path() / kRepo / "openai_whisper-tiny";
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
        fs::create_directories(repos.path() / "openai/whisper-base");
        fs::copy_file(model / name, repos.path() / "openai/whisper-base" / name);
    }
    foundation::ScopedEnvironmentOverride environment({{"BM_ENDPOINT", server->baseURL()}});

    // A folder holding the tokenizer files is used as it is.
    auto local = ModelUtilities::loadTokenizer(ModelVariant::base, std::nullopt, {model});
    ASSERT_TRUE(local);
    EXPECT_EQ(local->specialTokens().startOfTranscriptToken, 50258);

    // Files that do not parse lead to a download of the variant's tokenizer repository.
    hubtest::TemporaryFolder broken;
    broken.write("tokenizer.json", "{ not json");
    auto downloaded = ModelUtilities::loadTokenizer(ModelVariant::base, cache.path(), {broken.path()});
    ASSERT_TRUE(downloaded);
    EXPECT_EQ(downloaded->encode(" hello"), local->encode(" hello"));
    EXPECT_TRUE(fs::exists(cache.path() / "models/openai/whisper-base/tokenizer.json"));

    // Nothing local and a repository the service does not have: the download's error is thrown.
    EXPECT_ANY_THROW(ModelUtilities::loadTokenizer(ModelVariant::small, cache.path(), {broken.path()}));

    // Offline, a damaged local tokenizer is reported as such, not as the unreachable service.
    hubtest::TemporaryFolder emptyCache;
    foundation::ScopedEnvironmentOverride offline({{"BM_ENDPOINT", std::string("http://127.0.0.1:1")}});
    try {
        ModelUtilities::loadTokenizer(ModelVariant::base, emptyCache.path(), {broken.path()});
        ADD_FAILURE() << "a damaged tokenizer loaded";
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()).find("connect"), std::string::npos) << error.what();
    }
}

TEST_F(FacadeTest, TheRemoteSupportTableChoosesTheVariant) {
    // This machine's row names the tiny folder as its default.
    const std::string device = Lexiphonic::deviceName();
    repos.write(std::string(kRepo) + "/config.json",
                R"({"name":"test-models","version":"1","device_support":[{"identifiers":[")" + device +
                    R"("],"models":{"default":"openai_whisper-tiny","supported":["openai_whisper-tiny","openai_whisper-small","openai_whisper-base"]}}]})");
    auto facade = Lexiphonic::create(config(std::nullopt));
    ASSERT_TRUE(facade->modelFolder());
    EXPECT_EQ(facade->modelFolder()->filename(), "openai_whisper-tiny");

    EXPECT_EQ(Lexiphonic::fetchAvailableModels(kRepo, {"*tiny", "*tiny", "*small"}, cache.path(), std::nullopt, "config.json",
                                               server->baseURL()),
              (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-small"}));
    // A name that matches no file: the built-in table, never an error.
    EXPECT_EQ(Lexiphonic::fetchModelSupportConfig(kRepo, cache.path(), std::nullopt, "absent.json", server->baseURL()).repoName,
              Constants::fallbackModelSupportConfig().repoName);
}
