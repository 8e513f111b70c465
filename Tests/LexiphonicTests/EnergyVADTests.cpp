// Voice activity by frame energy, and cutting long audio at the middle of its longest pauses.
#include <gtest/gtest.h>

#include <cmath>

#include "AudioTestSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioChunker.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Audio/EnergyVAD.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "LogCapture.hpp"

using namespace lexiphonic;

namespace {

// A tone whose RMS is 0.1 (voiced for the default detector) with silent stretches, in samples.
std::vector<float> toneWithSilences(size_t count, const std::vector<SampleRange>& silences) {
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = 0.1f * std::sqrt(2.0f) * std::sin(2 * M_PI * 200 * i / 16000.0);
    for (const auto& s : silences) std::fill(samples.begin() + s.startIndex, samples.begin() + s.endIndex, 0.0f);
    return samples;
}

// Frame energies by the rule: frames every L samples, each reaching O further, voiced above T.
std::vector<bool> expectedActivity(const std::vector<float>& s, int64_t L, int64_t O, float T) {
    std::vector<bool> out;
    for (size_t start = 0; start < s.size(); start += L) {
        const size_t end = std::min(s.size(), start + L + O);
        double sum = 0;
        for (size_t i = start; i < end; ++i) sum += static_cast<double>(s[i]) * s[i];
        out.push_back(std::sqrt(sum / (end - start)) > T);
    }
    return out;
}

}  // namespace

TEST(EnergyVAD, FramesCoverTheSamplesWithTheirOverlap) {
    const EnergyVAD vad(EnergyVAD::Params{16000, 0.1f, 0.0f, 0.02f});
    EXPECT_EQ(vad.frameLengthSamples(), 1600);
    EXPECT_EQ(vad.frameOverlapSamples(), 0);
    EXPECT_EQ(vad.voiceActivity(std::vector<float>(16001, 0.5f)).size(), 11u);
    EXPECT_TRUE(vad.voiceActivity(std::vector<float>{}).empty());
    EXPECT_FLOAT_EQ(vad.voiceActivityIndexToSeconds(25), 2.5f);
    EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(3), 4800);

    // Voiced frames 0 and 1 with overlap 800: one range, the overlap not widening it.
    std::vector<float> samples(8000, 0.0f);
    std::fill(samples.begin(), samples.begin() + 3200, 0.5f);
    const EnergyVAD overlapping(16000, 1600, 800, 0.02f);
    EXPECT_EQ(overlapping.calculateActiveChunks(samples), (std::vector<SampleRange>{{0, 3200}}));

    // A frame whose RMS equals the threshold is unvoiced.
    EXPECT_EQ(EnergyVAD(16000, 4, 0, 0.25f).voiceActivity(std::vector<float>{0.25f, -0.25f, 0.25f, -0.25f}),
              std::vector<bool>{false});

    // Real speech against the rule computed here, with and without overlap.
    SKIP_WITHOUT_SPEECH();
    const auto speech = lexiphonic::testing::speechSamples();
    for (const auto& [length, overlap, threshold] : {std::tuple{1600, 0, 0.02f}, std::tuple{480, 160, 0.05f}}) {
        const EnergyVAD detector(16000, length, overlap, threshold);
        const auto voiced = detector.voiceActivity(speech);
        EXPECT_EQ(voiced, expectedActivity(speech, length, overlap, threshold));
        EXPECT_TRUE(std::count(voiced.begin(), voiced.end(), true) > 0 && std::count(voiced.begin(), voiced.end(), false) > 0);
    }
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(speech), EnergyVAD().calculateActiveChunks(speech));
}

TEST(EnergyVAD, LongestSilenceIsTheEarliestLongestRun) {
    const EnergyVAD vad;
    EXPECT_EQ(vad.findLongestSilence({true, true}), std::nullopt);
    EXPECT_EQ(vad.findLongestSilence({false}), (SampleRange{0, 1}));
    EXPECT_EQ(vad.findLongestSilence({false, true, false, false}), (SampleRange{2, 4}));
    EXPECT_EQ(vad.findLongestSilence({true, false, false, true, false, false}), (SampleRange{1, 3}));
    EXPECT_EQ(vad.findLongestSilence({}), std::nullopt);
}

TEST(EnergyVAD, TheBaseDetectorHasNoVerdictOfItsOwn) {
    const VoiceActivityDetector base(16000, 1600, 0);
    try {
        base.voiceActivity(std::vector<float>(10));
        FAIL();
    } catch (const foundation::Error& e) {
        EXPECT_EQ(e.localizedDescription(), "`voiceActivity` must be implemented by subclass");
    }
}

TEST(AudioChunker, CutsFallInTheMiddleOfTheLongestPauseOfTheSecondHalf) {
    VADAudioChunker chunker;
    EXPECT_EQ(chunker.windowPadding(), 16000);

    // Up to one window: one chunk, no detection.
    auto one = chunker.chunkAll(std::vector<float>(480000, 0.5f), 480000, std::nullopt);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].seekOffsetIndex, 0);
    EXPECT_EQ(one[0].audioSamples.size(), 480000u);

    // Steady tone, no pause: cut at the window's end; a remainder within the padding is dropped.
    auto two = chunker.chunkAll(toneWithSilences(960000, {}), 480000, std::nullopt);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].seekOffsetIndex, 480000);
    EXPECT_EQ(two[1].audioSamples.size(), 480000u);
    auto padded = chunker.chunkAll(toneWithSilences(490000, {}), 480000, std::nullopt);
    ASSERT_EQ(padded.size(), 1u);
    EXPECT_EQ(padded[0].audioSamples.size(), 480000u);

    // Frames 10 ..< 30 after the middle are silent: the cut is at mid + 20 frames. With two equal
    // pauses the earlier wins.
    const int64_t mid = 240000;
    auto samples = toneWithSilences(700000, {{mid + 10 * 1600, mid + 30 * 1600}});
    auto cut = chunker.chunkAll(samples, 480000, std::nullopt);
    ASSERT_GE(cut.size(), 2u);
    EXPECT_EQ(cut[1].seekOffsetIndex, mid + 20 * 1600);
    EXPECT_EQ(cut[0].audioSamples, std::vector<float>(samples.begin(), samples.begin() + mid + 20 * 1600));
    auto tie = chunker.chunkAll(toneWithSilences(700000, {{mid + 10 * 1600, mid + 14 * 1600}, {mid + 40 * 1600, mid + 44 * 1600}}),
                                480000, std::nullopt);
    EXPECT_EQ(tie[1].seekOffsetIndex, mid + 12 * 1600);

    // Every sample of a long recording lands in exactly one chunk, in order, none longer than asked.
    auto longSamples = toneWithSilences(3 * 480000 + 100000, {{300000, 330000}, {800000, 805000}, {1300000, 1400000}});
    auto chunks = chunker.chunkAll(longSamples, 480000, std::nullopt);
    int64_t next = 0;
    for (const auto& c : chunks) {
        EXPECT_EQ(c.seekOffsetIndex, next);
        EXPECT_LE(c.audioSamples.size(), 480000u);
        EXPECT_TRUE(std::equal(c.audioSamples.begin(), c.audioSamples.end(), longSamples.begin() + c.seekOffsetIndex));
        next += static_cast<int64_t>(c.audioSamples.size());
    }
    EXPECT_EQ(next, static_cast<int64_t>(longSamples.size()));
}

TEST(AudioChunker, ClipsOutsideTheSamplesAreRejected) {
    VADAudioChunker chunker;
    DecodingOptions::Params params;
    params.clipTimestamps = {40.0f, 50.0f};
    try {
        chunker.chunkAll(std::vector<float>(500000), 480000, DecodingOptions(params));
        FAIL();
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), WhisperError::Case::audioProcessingFailed);
        EXPECT_EQ(e.message(), "startIndex is outside the buffer size");
    }
}

TEST(AudioChunker, ResultsMoveToTheirChunksOffset) {
    TranscriptionSegment segment;
    segment.seek = 100;
    segment.start = 1.0f;
    segment.end = 2.5f;
    segment.words = std::vector<WordTiming>{{"ask", {1}, 1.0f, 1.5f, 0.9f}};
    auto first = std::make_shared<TranscriptionResult>("ask", std::vector{segment}, "en", TranscriptionTimings{});
    auto second = std::make_shared<TranscriptionResult>("not", std::vector{segment}, "en", TranscriptionTimings{});
    const std::vector<AudioChunk> chunks{{10 * 16000, {}}, {0, {}}, {480000, {}}};
    const std::vector<ChunkTranscription> results{std::vector{first},
                                                  std::make_exception_ptr(WhisperError::transcriptionFailed("boom")),
                                                  std::vector{second}};
    lexiphonic::testing::LogCapture log(pellux::Logging::LogLevel::debug);
    VADAudioChunker chunker;
    const auto shifted = chunker.updateSeekOffsetsForResults(results, chunks);
    ASSERT_EQ(shifted.size(), 2u);
    EXPECT_EQ(shifted[0], first);
    EXPECT_EQ(first->seekTime(), 10.0f);
    const auto s = first->segments()[0];
    EXPECT_EQ(s.seek, 100 + 160000);
    EXPECT_FLOAT_EQ(s.start, 11.0f);
    EXPECT_FLOAT_EQ(s.end, 12.5f);
    EXPECT_FLOAT_EQ((*s.words)[0].start, 11.0f);
    EXPECT_FLOAT_EQ((*s.words)[0].end, 11.5f);
    EXPECT_EQ(second->seekTime(), 30.0f);
    EXPECT_EQ(log.messages, (std::vector<std::string>{"Error transcribing chunk 1: transcriptionFailed(\"boom\")"}));
    EXPECT_TRUE(chunker.updateSeekOffsetsForResults({}, {}).empty());
}
