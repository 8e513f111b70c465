#include <gtest/gtest.h>

#include <cmath>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Text/SegmentSeeker.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;

namespace {

using Tokens = std::vector<int64_t>;

WordTiming word(std::string text, float start, float end, Tokens tokens = {1}, float probability = 0.9f) {
    return WordTiming{std::move(text), std::move(tokens), start, end, probability};
}

std::shared_ptr<MLMultiArray> matrix(int64_t rows, int64_t columns, const std::vector<double>& values) {
    auto array = MLMultiArray::make({rows, columns}, MLMultiArrayDataType::float16);
    for (size_t i = 0; i < values.size(); ++i) array->setValue(static_cast<int64_t>(i), values[i]);
    return array;
}

std::vector<std::string> texts(const std::vector<WordTiming>& words) {
    std::vector<std::string> out;
    for (const auto& w : words) out.push_back(w.word);
    return out;
}

const std::string kPrepend(Constants::defaultPrependPunctuations);
const std::string kAppend(Constants::defaultAppendPunctuations);

}  // namespace

TEST(WordTimestampTests, DurationConstraints) {
    SegmentSeeker seeker;
    struct Case {
        std::vector<float> durations;
        float median, max;
    };
    const std::vector<Case> cases = {
        {{0.1f, 0.3f, 0.5f, 0.9f}, 0.5f, 1.0f},
        {{1.0f, 2.0f}, 0.7f, 1.4f},  // the upper middle, capped
        {{0, 0}, 0, 0},
        {{}, 0, 0},
    };
    for (const auto& c : cases) {
        std::vector<WordTiming> words;
        for (float d : c.durations) words.push_back(word("w", 1.0f, 1.0f + d));
        const auto constraints = seeker.calculateWordDurationConstraints(words);
        EXPECT_FLOAT_EQ(constraints.median, c.median);
        EXPECT_FLOAT_EQ(constraints.max, c.max);
    }
}

TEST(WordTimestampTests, LongWordsAreClippedAtSentenceEnds) {
    SegmentSeeker seeker;
    const auto clipped = seeker.truncateLongWordsAtSentenceBoundaries(
        {word("Long", 0.0f, 3.0f), word(".", 3.0f, 5.0f), word("Next", 5.0f, 7.0f), word("more", 7.0f, 9.0f)}, 1.0f);
    EXPECT_FLOAT_EQ(clipped[0].end, 3.0f);  // the first word is never changed
    EXPECT_FLOAT_EQ(clipped[1].end, 4.0f);
    EXPECT_FLOAT_EQ(clipped[2].start, 6.0f);
    EXPECT_FLOAT_EQ(clipped[3].start, 7.0f);
}

TEST(WordTimestampTests, DynamicTimeWarping) {
    SegmentSeeker seeker;
    const auto diagonal = seeker.dynamicTimeWarping(*matrix(2, 2, {1, -1, -1, 1}));
    EXPECT_EQ(diagonal.textIndices, (Tokens{0, 1}));
    EXPECT_EQ(diagonal.timeIndices, (Tokens{0, 1}));
    // All three candidates tie at the last cell: the frame direction wins.
    const auto tie = seeker.dynamicTimeWarping(*matrix(2, 2, {1, 0, 0, 1}));
    EXPECT_EQ(tie.textIndices, (Tokens{0, 1, 1}));
    EXPECT_EQ(tie.timeIndices, (Tokens{0, 0, 1}));
    EXPECT_EQ(seeker.minCostAndTrace(1, 1, 1, 0.5), (std::pair<double, int8_t>{0.5, 2}));

    try {
        seeker.dynamicTimeWarping(*MLMultiArray::make({1, 2, 2}, MLMultiArrayDataType::float16));
        FAIL() << "a three-dimensional matrix was accepted";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::segmentingFailed("Invalid alignment matrix shape"));
    }
    EXPECT_TRUE(seeker.dynamicTimeWarping(*MLMultiArray::make({0, 4}, MLMultiArrayDataType::float16)).textIndices.empty());
}

TEST(WordTimestampTests, PunctuationMerges) {
    SegmentSeeker seeker;
    struct Case {
        const char* name;
        std::vector<WordTiming> words;
        std::vector<std::string> merged;
        float start, end;  // of the first merged word
    };
    const std::vector<Case> cases = {
        {"comma after a word", {word(" Hello", 0, 1), word(",", 1, 1.2f)}, {" Hello,"}, 0, 1},
        {"comma after a space stays and is dropped", {word(" Hello ", 0, 1), word(",", 1, 1.2f)}, {" Hello "}, 0, 1},
        {"comma and full stop keep the word", {word(" word", 0, 1), word(",", 1, 1.1f), word(".", 1.1f, 1.2f)}, {" word,."}, 0, 1},
        {"opening bracket joins the next word", {word(" (", 0, 0.1f), word("hi", 0.1f, 1), word(")", 1, 1.1f)}, {" (hi)"}, 0.1f, 1},
        {"two opening marks keep both", {word("A", 0, 1), word(" \"", 1, 1.1f), word(" (", 1.1f, 1.2f), word("B", 1.2f, 2)},
         {"A", " \" (B"}, 0, 1},
    };
    for (const auto& c : cases) {
        const auto merged = seeker.mergePunctuations(c.words, kPrepend, kAppend);
        EXPECT_EQ(texts(merged), c.merged) << c.name;
        ASSERT_FALSE(merged.empty());
        EXPECT_FLOAT_EQ(merged.front().start, c.start) << c.name;
        EXPECT_FLOAT_EQ(merged.front().end, c.end) << c.name;
    }
    const auto chained = seeker.mergePunctuations({word(" word", 0, 1, {5}), word(",", 1, 1.1f, {6}), word(".", 1.1f, 1.2f, {7})},
                                                  kPrepend, kAppend);
    EXPECT_EQ(chained.front().tokens, (Tokens{5, 6, 7}));
    EXPECT_TRUE(seeker.mergePunctuations({}, kPrepend, kAppend).empty());
}

TEST(WordTimestampTests, LoneOpeningMarkMergesToNothing) {
    // The method is an override point: callers may hand it a single word, which once read past an
    // empty list when that word was an opening mark.
    SegmentSeeker seeker;
    for (const char* mark : {"(", " (", " \"", "\u00bf"}) {
        EXPECT_TRUE(seeker.mergePunctuations({word(mark, 0, 0.1f)}, kPrepend, kAppend).empty()) << mark;
    }
    EXPECT_EQ(texts(seeker.mergePunctuations({word(" hi", 0, 1)}, kPrepend, kAppend)), (std::vector<std::string>{" hi"}));
}

TEST(WordTimestampTests, SegmentsTakeTheirWords) {
    SegmentSeeker seeker;
    FakeWhisperTokenizer tokenizer;
    TranscriptionSegment silentSegment;
    silentSegment.start = 10;
    silentSegment.end = 11;
    silentSegment.tokens = {kStart, T(0)};
    TranscriptionSegment spoken;
    spoken.start = 11;
    spoken.end = 15;
    spoken.tokens = {T(1), 100, T(5)};
    // A word after a pause is held to the usual word length: 12-14 starts at 14 - 0.6.
    const auto updated = seeker.updateSegmentsWithWordTimings({silentSegment, spoken}, {word(" w100", 12, 14, {100})}, 0, 10.0f,
                                                              0.3f, 0.6f, tokenizer);
    ASSERT_TRUE(updated[0].words);
    EXPECT_TRUE(updated[0].words->empty());
    EXPECT_FLOAT_EQ(updated[0].start, 10);
    ASSERT_EQ(updated[1].words->size(), 1u);
    EXPECT_FLOAT_EQ(updated[1].words->front().start, 13.4f);
    EXPECT_FLOAT_EQ(updated[1].start, 13.4f);
    EXPECT_FLOAT_EQ(updated[1].end, 14.0f);
}

TEST(WordTimestampTests, WordsFromAlignmentWeights) {
    // Token r of the window holds the alignment from frame b[r] up to b[r + 1]; the rest is slightly
    // negative, so the warping path steps to the next token exactly where its frames begin.
    const std::vector<int64_t> b{0, 62, 100, 140, 180, 200};
    const int64_t frames = 1500;
    auto weights = MLMultiArray::make({224, frames}, MLMultiArrayDataType::float16);
    for (int64_t i = 0; i < weights->count(); ++i) weights->setValue(i, -0.01);
    for (int64_t r = 0; r < 5; ++r)
        for (int64_t f = b[static_cast<size_t>(r)]; f < b[static_cast<size_t>(r) + 1]; ++f) weights->setValue({r, f}, 1.0);

    TranscriptionSegment segment;
    segment.start = 30;
    segment.end = 33;
    segment.tokens = {T(0), 100, 101, 102, T(3)};
    for (int64_t token : segment.tokens) segment.tokenLogProbs.push_back({{token, -0.2f}});
    SegmentSeeker seeker;
    FakeWhisperTokenizer tokenizer;
    const auto segments = seeker.addWordTimestamps({segment}, *weights, tokenizer, 480000, 480000, Constants::defaultPrependPunctuations,
                                                   Constants::defaultAppendPunctuations, 30.0f, DecodingOptions(), TranscriptionTimings());
    ASSERT_TRUE(segments && segments->size() == 1);
    const auto& words = *segments->front().words;
    ASSERT_EQ(texts(words), (std::vector<std::string>{" w100", " w101", " w102"}));
    // Frame 62 of the window starting at 30 s is 31.24 s; the last word ends at last start + median.
    EXPECT_FLOAT_EQ(words[0].start, 31.24f);
    EXPECT_FLOAT_EQ(words[0].end, 32.0f);
    EXPECT_FLOAT_EQ(words[1].start, 32.0f);
    EXPECT_FLOAT_EQ(words[1].end, 32.8f);
    EXPECT_FLOAT_EQ(words[2].start, 32.8f);
    EXPECT_FLOAT_EQ(words[2].end, 33.5f);
    EXPECT_FLOAT_EQ(words[0].probability, 0.82f);
    EXPECT_EQ(words[0].tokens, Tokens{100});
    EXPECT_FLOAT_EQ(segments->front().start, 31.24f);
    EXPECT_FLOAT_EQ(segments->front().end, 33.0f);

    EXPECT_EQ(seeker.addWordTimestamps({}, *weights, tokenizer, 0, 0, "", "", 0, DecodingOptions(), TranscriptionTimings()),
              std::vector<TranscriptionSegment>{});
    try {
        seeker.addWordTimestamps({segment}, *MLMultiArray::make({}, MLMultiArrayDataType::float16), tokenizer, 0, 0, "", "", 0,
                                 DecodingOptions(), TranscriptionTimings());
        FAIL() << "alignment weights without a shape were accepted";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::segmentingFailed("Invalid shape in alignmentWeights"));
    }
}
