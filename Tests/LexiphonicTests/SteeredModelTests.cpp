// A generated model whose decoder is steered to a short text: through the whole facade it says that
// text once, at temperature 0, and ends, as a real model does on a short utterance.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "HubServer/HubServer.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Lexiphonic.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"
#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

namespace {

using namespace lexiphonic;

// Five seconds of a vowel-like tone: what the model hears does not matter to the steered decoder.
std::vector<float> fiveSeconds() {
    std::vector<float> samples(5 * 16000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.2f * static_cast<float>(std::sin(i * 2 * M_PI * 220 / 16000) + 0.5 * std::sin(i * 2 * M_PI * 660 / 16000));
    return samples;
}

TEST(SteeredModel, SaysItsTextOnceAndEndsWithoutFallback) {
    struct Case {
        int textTokens;
        bool withoutTimestamps;
    };
    for (const Case& c : {Case{20, false}, Case{20, true}, Case{5, false}}) {
        SCOPED_TRACE(testing::Message() << c.textTokens << " tokens, without timestamps " << c.withoutTimestamps);
        hubtest::TemporaryFolder folder;
        coreml::whisper::TestModelOptions model;
        model.steeredTextTokens = c.textTokens;
        coreml::whisper::writeTestModel(folder.path(), model);

        LexiphonicConfig::Params p;
        p.modelFolder = folder.path().string();
        p.download = false;
        p.audioProcessor = std::make_shared<AudioProcessor>(std::make_shared<avfoundation::FakeAudioInputBackend>());
        p.verbose = false;
        p.logLevel = pellux::Logging::LogLevel::error;
        auto facade = Lexiphonic::create(LexiphonicConfig(std::move(p)));

        DecodingOptions::Params o;
        o.language = "en";
        o.withoutTimestamps = c.withoutTimestamps;
        auto results = facade->transcribe(std::span<const float>(fiveSeconds()), DecodingOptions(o), {}, {});
        ASSERT_EQ(results.size(), 1u);
        ASSERT_TRUE(results[0]);
        const auto segments = results[0]->segments();
        ASSERT_EQ(segments.size(), 1u);

        std::vector<int64_t> text;
        const int endOfText = coreml::whisper::whisperSpecialTokens(model.config.vocabularySize).endOfText;
        for (int64_t token : segments[0].tokens)
            if (token < endOfText) text.push_back(token);
        const auto expected = coreml::whisper::steeredTextTokenIds(c.textTokens);
        EXPECT_EQ(text, std::vector<int64_t>(expected.begin(), expected.end()));
        EXPECT_EQ(segments[0].temperature, 0.0f);
        EXPECT_GT(segments[0].avgLogprob, -0.1f);
        EXPECT_LT(segments[0].noSpeechProb, 0.1f);
        EXPECT_EQ(results[0]->timings().totalDecodingFallbacks, 0);
        EXPECT_TRUE(results[0]->text().starts_with("hello world and the")) << results[0]->text();
    }
}

}  // namespace
