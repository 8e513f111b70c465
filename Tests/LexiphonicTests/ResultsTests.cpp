#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <unordered_set>

#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"

using namespace lexiphonic;

namespace {

WordTiming word(std::string text, float start, float end) { return WordTiming{std::move(text), {1, 2}, start, end, 0.9f}; }

TranscriptionSegment segment(int64_t id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = 0;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.tokens = {50364, 400};
    s.tokenLogProbs = {{{50364, -0.5f}}, {{400, -0.25f}, {7, -3.0f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.4f;
    s.compressionRatio = 1.5f;
    s.noSpeechProb = 0.1f;
    s.words = std::move(words);
    return s;
}

template <class T>
std::string encodedJSON(const T& value) {
    foundation::JSONWriter writer;
    value.encode(writer);
    return writer.str();
}

}  // namespace

TEST(TranscriptionResultTests, AllWordsCollectsSegmentWordsInOrder) {
    TranscriptionResult empty("", {}, "en", TranscriptionTimings());
    EXPECT_TRUE(empty.allWords().empty());

    TranscriptionResult noWords("a b", {segment(0, 0, 1, "a"), segment(1, 1, 2, "b", std::vector<WordTiming>{})}, "en",
                                TranscriptionTimings());
    EXPECT_TRUE(noWords.allWords().empty());

    TranscriptionResult mixed("", {segment(0, 0, 1, "a", std::vector{word("one", 0, 0.5f), word("two", 0.5f, 1)}),
                                   segment(1, 1, 2, "b"), segment(2, 2, 3, "c", std::vector{word("three", 2, 3)})},
                              "en", TranscriptionTimings());
    auto words = mixed.allWords();
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0].word, "one");
    EXPECT_EQ(words[2].word, "three");
}

TEST(TranscriptionResultTests, PropertiesAreIndependentlyLocked) {
    auto result = std::make_shared<TranscriptionResult>("", std::vector<TranscriptionSegment>{}, "en",
                                                        TranscriptionTimings(), 2.5f);
    EXPECT_EQ(result->seekTime(), 2.5f);
    // Concurrent in-place changes of one property and writes of another neither tear nor lose updates.
    std::thread writer([&] {
        for (int i = 0; i < 1000; ++i) result->setLanguage(i % 2 ? "de" : "en");
    });
    for (int i = 0; i < 1000; ++i) result->modifyText([](std::string& t) { t += "x"; });
    writer.join();
    EXPECT_EQ(result->text().size(), 1000u);
    EXPECT_TRUE(result->language() == "en" || result->language() == "de");
}

TEST(TranscriptionResultTests, EncodedForms) {
    TranscriptionResult result("hi", {segment(0, 1.25f, 3.5f, " hi")}, "en", TranscriptionTimings());
    auto json = encodedJSON(result);
    EXPECT_EQ(json.find(R"({"text":"hi","segments":[{"id":0,"seek":0,"start":1.25,"end":3.5,"text":" hi",)"
                        R"("tokens":[50364,400],"tokenLogProbs":[{"50364":-0.5},{"7":-3,"400":-0.25}],)"
                        R"("temperature":0.2,"avgLogprob":-0.4,"compressionRatio":1.5,"noSpeechProb":0.1}],)"
                        R"("language":"en","timings":{"pipelineStart":1.7976931348623157e+308,)"),
              0u)
        << json;
    EXPECT_NE(json.find(R"("fullPipeline":0},"seekTime":null})"), std::string::npos) << json;

    // Round trips, including words and a present seek time.
    TranscriptionResultStruct value{"t", {segment(3, 0, 1, "t", std::vector{word("t", 0, 1)})}, "fr",
                                    TranscriptionTimings({.fullPipeline = 2}), 4.0f};
    auto back = TranscriptionResultStruct::decode(foundation::JSONDocument::parse(encodedJSON(value)).root());
    EXPECT_EQ(back.segments, value.segments);
    EXPECT_EQ(back.timings, value.timings);
    EXPECT_EQ(back.seekTime, 4.0f);
    auto shared = TranscriptionResult::decode(foundation::JSONDocument::parse(json).root());
    EXPECT_EQ(shared->segments(), result.segments());
    EXPECT_FALSE(shared->seekTime());

    // A segment without words writes no "words" and reads back without them.
    auto plain = segment(0, 0, 1, "x");
    auto plainJSON = encodedJSON(plain);
    EXPECT_EQ(plainJSON.find("words"), std::string::npos);
    EXPECT_FALSE(TranscriptionSegment::decode(foundation::JSONDocument::parse(plainJSON).root()).words);
}

TEST(TranscriptionResultTests, SeekTimeKeyIsRequiredOnlyForTheLockedResult) {
    TranscriptionResultStruct value{"t", {}, "en", TranscriptionTimings(), std::nullopt};
    auto json = encodedJSON(value);
    EXPECT_EQ(json.find("seekTime"), std::string::npos);
    auto document = foundation::JSONDocument::parse(json);
    EXPECT_FALSE(TranscriptionResultStruct::decode(document.root()).seekTime);
    try {
        TranscriptionResult::decode(document.root());
        ADD_FAILURE() << "decoded without seekTime";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Case::keyNotFound);
    }
    // A missing timings member, or a log-probability key that is not an integer, fails too.
    auto noTimings = foundation::JSONDocument::parse(R"({"text":"","segments":[],"language":"en","seekTime":null})");
    EXPECT_THROW(TranscriptionResult::decode(noTimings.root()), DecodingError);
    auto badKey = foundation::JSONDocument::parse(
        R"({"id":0,"seek":0,"start":0,"end":1,"text":"","tokens":[],"tokenLogProbs":[{"a":1}],)"
        R"("temperature":0,"avgLogprob":0,"compressionRatio":0,"noSpeechProb":0})");
    EXPECT_THROW(TranscriptionSegment::decode(badKey.root()), DecodingError);
}

TEST(TranscriptionSegmentTests, EqualityHashingAndDuration) {
    auto a = segment(0, 1, 2, "a");
    auto b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<TranscriptionSegment>{}(a), std::hash<TranscriptionSegment>{}(b));

    b.tokenLogProbs[1][400] = -0.3f;
    EXPECT_NE(a, b);
    b = a;
    b.words = std::vector<WordTiming>{};
    EXPECT_NE(a, b);  // absent words differ from an empty list

    // -0 equals 0 and hashes the same; NaN makes segments unequal.
    auto zero = segment(0, 0.0f, 1, "z");
    auto negativeZero = segment(0, -0.0f, 1, "z");
    EXPECT_EQ(zero, negativeZero);
    EXPECT_EQ(std::hash<TranscriptionSegment>{}(zero), std::hash<TranscriptionSegment>{}(negativeZero));
    auto nan = segment(0, std::nanf(""), 1, "n");
    EXPECT_NE(nan, nan);

    EXPECT_FLOAT_EQ(segment(0, 3.5f, 1.25f, "").duration(), -2.25f);
    EXPECT_FLOAT_EQ(word("w", 1, 1.5f).duration(), 0.5f);
    std::unordered_set<WordTiming> words{word("w", 1, 2), word("w", 1, 2), word("v", 1, 2)};
    EXPECT_EQ(words.size(), 2u);
}

TEST(DecodingFallbackTests, FirstApplicableRuleDecides) {
    DecodingOptions defaults;  // thresholds: compression 2.4, log-prob -1, no-speech 0.6
    DecodingOptions::Params unsetParams;
    unsetParams.compressionRatioThreshold = std::nullopt;
    unsetParams.logProbThreshold = std::nullopt;
    unsetParams.noSpeechThreshold = std::nullopt;
    DecodingOptions unset(unsetParams);
    const float nan = std::nanf("");

    struct Case {
        const DecodingOptions* options;
        bool firstTokenTooLow;
        float noSpeech, compression, avgLogProb;
        std::optional<DecodingFallback> expected;
    };
    const std::vector<Case> cases = {
        {&unset, false, 1.0f, 100.0f, -100.0f, std::nullopt},
        {&unset, true, 0, 0, 0, DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {&defaults, true, 0.9f, 3.0f, -2.0f, DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {&defaults, false, 0.9f, 3.0f, -2.0f, DecodingFallback{false, "silence"}},
        {&defaults, false, 0.6f, 2.4f, -1.0f, std::nullopt},  // equal to the thresholds: nothing
        {&defaults, false, 0.1f, 2.5f, -2.0f, DecodingFallback{true, "compressionRatioThreshold"}},
        {&defaults, false, 0.1f, 1.0f, -1.5f, DecodingFallback{true, "logProbThreshold"}},
        {&defaults, false, nan, nan, nan, std::nullopt},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(DecodingFallback::make(*c.options, c.firstTokenTooLow, c.noSpeech, c.compression, c.avgLogProb),
                  c.expected)
            << "case " << i;
    }
}

TEST(DecodingResultTests, EmptyResultsAndStateTexts) {
    auto empty = DecodingResult::emptyResults();
    EXPECT_TRUE(empty.language.empty() && empty.text.empty() && empty.tokens.empty() && empty.languageProbs.empty());
    EXPECT_EQ(empty.avgLogProb, 0.0f);
    EXPECT_FALSE(empty.cache || empty.timings || empty.fallback);
    DecodingCache cache;
    EXPECT_FALSE(cache.keyCache || cache.valueCache || cache.alignmentWeights);
    TranscriptionProgress progress;
    EXPECT_EQ(progress.windowId, 0);
    EXPECT_FALSE(progress.temperature || progress.avgLogprob || progress.compressionRatio);
    EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}
