#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Lexiphonic/Utilities/TranscriptionUtilities.hpp"

using namespace lexiphonic;

namespace {

WordTiming word(std::string text, float start = 0, float end = 0) {
    WordTiming w;
    w.word = std::move(text);
    w.start = start;
    w.end = end;
    return w;
}

TranscriptionSegment segment(float start, float end, std::string text) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    return s;
}

std::shared_ptr<TranscriptionResult> result(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                                            double pipelineStart, double fullPipeline) {
    TranscriptionTimings timings;
    timings.pipelineStart = pipelineStart;
    timings.fullPipeline = fullPipeline;
    timings.inputAudioSeconds = 10;
    timings.totalDecodingWindows = 1;
    timings.modelLoading = pipelineStart;
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings);
}

}  // namespace

TEST(TranscriptionUtilitiesTests, SegmentTimingsAndLines) {
    TranscriptionSegment s = segment(1.0f, 2.0f, " text");
    s.words = std::vector<WordTiming>{word(" text", 1.0f, 2.0f)};
    EXPECT_EQ(updateSegmentTimings(s, 0), s);
    const auto moved = updateSegmentTimings(s, 30);
    EXPECT_EQ(moved.seek, 480000);
    EXPECT_FLOAT_EQ(moved.start, 31);
    EXPECT_FLOAT_EQ(moved.end, 32);
    EXPECT_FLOAT_EQ((*moved.words)[0].start, 31);
    // A time whose sample count leaves the integer range is clamped, never undefined.
    EXPECT_EQ(updateSegmentTimings(s, std::numeric_limits<float>::infinity()).seek, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(updateSegmentTimings(s, std::nanf("")).seek, 0);
    EXPECT_EQ(updateSegmentTimings(s, -1e30f).seek, std::numeric_limits<int64_t>::min());

    const std::vector<TranscriptionSegment> segments{segment(1.5f, 2.25f, " Hello")};
    EXPECT_EQ(formatSegments(segments), (std::vector<std::string>{"[1.50 --> 2.25]  Hello"}));
    EXPECT_EQ(formatSegments(segments, false), (std::vector<std::string>{" Hello"}));
    EXPECT_TRUE(formatSegments({}).empty());
}

TEST(TranscriptionUtilitiesTests, WordPrefixes) {
    const std::vector<WordTiming> first{word(" Hello,"), word("world"), word("well-known"), word("can't")};
    const std::vector<WordTiming> second{word("hello", 1, 2), word("World!", 2, 3), word("well known"), word("cant"), word("more")};
    const auto prefix = findLongestCommonPrefix(first, second);
    ASSERT_EQ(prefix.size(), 4u);
    EXPECT_EQ(prefix[0], second[0]);  // the second list's own entries
    EXPECT_EQ(findLongestDifferentSuffix(first, second), (std::vector<WordTiming>{word("more")}));
    EXPECT_TRUE(findLongestCommonPrefix({}, second).empty());
    EXPECT_EQ(findLongestDifferentSuffix({}, second), second);
    EXPECT_TRUE(findLongestCommonPrefix({word("a"), word("b")}, {word("x"), word("b")}).empty());
    // Canonically equivalent words match: precomposed and combining accents, and two spaces as one.
    EXPECT_EQ(findLongestCommonPrefix({word("caf\u00e9")}, {word("cafe\u0301")}).size(), 1u);
    EXPECT_EQ(findLongestCommonPrefix({word("a  b")}, {word("a b")}).size(), 1u);
}

TEST(TranscriptionUtilitiesTests, MergingResults) {
    auto a = result("A text", {segment(0, 1, "a0"), segment(1, 2, "a1")}, "de", 100, 5);
    auto b = result("B text", {segment(30, 31, "b0")}, "fr", 110, 5);
    const auto merged = mergeTranscriptionResults({a, nullptr, b});
    EXPECT_EQ(merged->text(), "A text  B text");
    const auto segments = merged->segments();
    ASSERT_EQ(segments.size(), 3u);
    for (int64_t i = 0; i < 3; ++i) EXPECT_EQ(segments[static_cast<size_t>(i)].id, i);
    EXPECT_EQ(segments[2].text, "b0");
    EXPECT_EQ(merged->language(), "de");
    const auto timings = merged->timings();
    EXPECT_EQ(timings.pipelineStart, 100);
    EXPECT_EQ(timings.inputAudioSeconds, 20);
    EXPECT_EQ(timings.totalDecodingWindows, 2);
    EXPECT_EQ(timings.modelLoading, 110);
    EXPECT_EQ(timings.fullPipeline, 10);  // one after the other: the sum

    auto side = result("C", {}, "en", 101, 5);
    EXPECT_EQ(mergeTranscriptionResults({a, side})->timings().fullPipeline, 6);  // side by side: the span

    const auto empty = mergeTranscriptionResults({nullptr}, std::vector<WordTiming>{word(" one"), word(" two")});
    EXPECT_EQ(empty->text(), " one two");
    EXPECT_TRUE(empty->segments().empty());
    EXPECT_EQ(empty->language(), "en");
    EXPECT_EQ(empty->timings().pipelineStart, 0);
    EXPECT_EQ(empty->timings().inputAudioSeconds, 0);
}
