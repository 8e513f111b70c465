#include <gtest/gtest.h>

#include <cfloat>

#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"
#include "LogCapture.hpp"
#include "Platform/Foundation/Text.hpp"

using namespace lexiphonic;
using lexiphonic::testing::LogCapture;

namespace {

TranscriptionSegment segment(float start, float end, std::string text, size_t tokenCount) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.tokens.assign(tokenCount, 1);
    return s;
}

std::vector<std::string> lines(const std::string& report) { return foundation::text::split(report, "\n"); }

}  // namespace

TEST(TranscriptionTimingsTests, NewRecordAndInitialiserArguments) {
    TranscriptionTimings fresh;
    EXPECT_EQ(fresh.pipelineStart, DBL_MAX);
    EXPECT_EQ(fresh.firstTokenTime, DBL_MAX);
    EXPECT_EQ(fresh.inputAudioSeconds, 0.001);
    EXPECT_EQ(fresh.fullPipeline, 0.0);

    TranscriptionTimings t({.decodingTimestampAlignment = 0.75, .totalDecodingLoops = 30, .fullPipeline = 3});
    EXPECT_EQ(t.decodingWordTimestamps, 0.75);
    EXPECT_EQ(t.pipelineStart, DBL_MAX);
    EXPECT_DOUBLE_EQ(t.tokensPerSecond(), 10.0);
    EXPECT_DOUBLE_EQ(t.realTimeFactor(), 3000.0);
    EXPECT_DOUBLE_EQ(t.speedFactor(), 0.001 / 3);
}

TEST(TranscriptionTimingsTests, EncodedFormHasAllFieldsInOrder) {
    TranscriptionTimings t({.modelLoading = 1.5, .fullPipeline = 2});
    foundation::JSONWriter writer;
    t.encode(writer);
    auto json = writer.str();
    EXPECT_EQ(json.find(R"({"pipelineStart":1.7976931348623157e+308,"firstTokenTime":1.7976931348623157e+308,)"
                        R"("inputAudioSeconds":0.001,"modelLoading":1.5,"prewarmLoadTime":0,)"),
              0u);
    EXPECT_NE(json.find(R"("decodingKvCaching":0,"decodingWordTimestamps":0,"decodingNonPrediction":0,)"), std::string::npos);
    EXPECT_EQ(json.substr(json.size() - 17), R"("fullPipeline":2})");
    auto document = foundation::JSONDocument::parse(json);
    EXPECT_EQ(TranscriptionTimings::decode(document.root()), t);

    auto missing = foundation::JSONDocument::parse(json.substr(0, json.rfind(",\"fullPipeline\"")) + "}");
    EXPECT_THROW(TranscriptionTimings::decode(missing.root()), DecodingError);
}

TEST(TimingReportTests, PopulatedRecord) {
    TranscriptionTimings t({.modelLoading = 1.234,
                            .audioLoading = 0.5,
                            .decodingLoop = 1.0,
                            .decodingWindowing = 0.3,
                            .decodingTimestampAlignment = 0.1,
                            .totalAudioProcessingRuns = 2,
                            .totalDecodingLoops = 100,
                            .totalTimestampAlignmentRuns = 4,
                            .totalDecodingFallbacks = 2,
                            .totalDecodingWindows = 2,
                            .fullPipeline = 2.0});
    t.inputAudioSeconds = 10;
    t.pipelineStart = 100;
    t.firstTokenTime = 100.25;
    auto report = lines(formatTimingReport(t, {segment(0, 1, "a", 2), segment(1, 2, "b", 3)}));
    ASSERT_EQ(report.size(), 31u);
    const std::vector<std::pair<size_t, std::string>> expected = {
        {0, "---- Transcription Timings ----"},
        {1, "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 25.00%"},
        {12, "- Word Timestamps:     100.00 ms /      4 runs (   25.00 ms/run)  5.00%"},
        {13, "- Windowing:           200.00 ms /      2 runs (  100.00 ms/run) 10.00%"},
        {15, "Decoding Full Loop:   1000.00 ms /    100 runs (   10.00 ms/run) 50.00%"},
        {16, "-------------------------------"},
        {17, "Model Load Time:               1.23 seconds"},
        {22, "Inference Duration (Global):   2.00 seconds"},
        {23, "- Decoding Loop (Avg/window):  0.50 seconds"},
        {24, "- Audio Windows:               2.00"},
        {25, "Time to first token:           0.25 seconds"},
        {26, "Total Tokens:                  5"},
        {27, "Tokens per Second:             50.00 tok/s"},
        {28, "Real Time Factor:              0.200"},
        {29, "Speed Factor:                  5.000"},
        {30, "Fallbacks:                     2.0"},
    };
    for (const auto& [index, text] : expected) EXPECT_EQ(report[index], text) << "line " << index + 1;
    EXPECT_EQ(report[0].size(), 31u);
    EXPECT_EQ(report[16].size(), 31u);
}

TEST(TimingReportTests, UnguardedDivisionsAndTheLargerTotal) {
    auto report = lines(formatTimingReport(TranscriptionTimings(), {}));
    ASSERT_EQ(report.size(), 31u);
    EXPECT_EQ(report[1], "Audio Load:              0.00 ms /      1 runs (    0.00 ms/run)   nan%");
    EXPECT_EQ(report[23], "- Decoding Loop (Avg/window):  nan seconds");
    EXPECT_EQ(report[25], "Time to first token:           0.00 seconds");
    EXPECT_EQ(report[26], "Total Tokens:                  0");
    EXPECT_EQ(report[27], "Tokens per Second:             nan tok/s");
    EXPECT_EQ(report[28], "Real Time Factor:              0.000");
    EXPECT_EQ(report[29], "Speed Factor:                  inf");
    EXPECT_EQ(report[30], "Fallbacks:                     0.0");

    // With the decoding loop longer than the whole pipeline, shares are of the loop.
    auto loopLonger = lines(formatTimingReport(TranscriptionTimings({.audioLoading = 1, .decodingLoop = 4, .fullPipeline = 2}), {}));
    EXPECT_EQ(loopLonger[1], "Audio Load:           1000.00 ms /      1 runs ( 1000.00 ms/run) 25.00%");
}

TEST(TimingReportTests, LoggedThroughTheLevelGates) {
    TranscriptionResult result("", {segment(1.25f, 3.5f, " Hello there", 2), segment(3.5f, 4, "x", 1)}, "en",
                               TranscriptionTimings());
    {
        LogCapture capture(pellux::Logging::LogLevel::debug);
        result.logSegments();
        result.logTimings();
        ASSERT_EQ(capture.messages.size(), 3u);
        EXPECT_EQ(capture.messages[0], "[Segment 0] [1.25 --> 3.50]  Hello there");
        EXPECT_EQ(capture.messages[1], "[Segment 1] [3.50 --> 4.00] x");
        EXPECT_EQ(capture.messages[2], formatTimingReport(result.timings(), result.segments()));
    }
    {
        LogCapture capture(pellux::Logging::LogLevel::info);
        result.logSegments();
        TranscriptionResult("", {}, "en", TranscriptionTimings()).logSegments();
        EXPECT_TRUE(capture.messages.empty());
    }
}
