#include <gtest/gtest.h>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Text/SegmentSeeker.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;

namespace {

using Tokens = std::vector<int64_t>;

DecodingResult window(const Tokens& tokens) {
    DecodingResult result;
    result.tokens = tokens;
    for (size_t i = 0; i < tokens.size(); ++i) result.tokenLogProbs.push_back({{tokens[i], -0.1f * static_cast<float>(i)}});
    result.temperature = 0.2f;
    result.avgLogProb = -0.3f;
    result.compressionRatio = 1.5f;
    result.noSpeechProb = 0.1f;
    return result;
}

struct Expected {
    float start, end;
    size_t from, to;  // the slice of the window's tokens
};

}  // namespace

TEST(SegmentSeekerTests, SegmentsAndSeekPoints) {
    // The window starts at 30 s: seek 480000 of 480000-sample windows at 16 kHz.
    struct Case {
        const char* name;
        Tokens tokens;
        int64_t seek;
        std::vector<Expected> segments;
    };
    const Tokens prompt{kStart, kEnglish, kTranscribe, T(0)};
    auto with = [&](Tokens rest) {
        Tokens tokens = prompt;
        tokens.insert(tokens.end(), rest.begin(), rest.end());
        return tokens;
    };
    const std::vector<Case> cases = {
        {"single-timestamp ending", with({100, T(2), T(2), 101, T(4), kEnd}), 480000 + 64000,
         {{30, 32, 0, 6}, {32, 34, 6, 9}}},
        {"no-timestamp ending", with({100, T(2), T(2), 101, 102, kEnd}), 960000, {{30, 32, 0, 6}, {32, 32, 6, 10}}},
        {"neither ending: the rest is decoded again", with({100, T(2), T(2), 101, kEnd}), 480000 + 32000, {{30, 32, 0, 6}}},
        {"no timestamp", {kStart, kEnglish, kTranscribe, 100, 101, kEnd}, 960000, {{30, 60, 0, 6}}},
        {"only the first timestamp", with({100, kEnd}), 960000, {{30, 60, 0, 6}}},
        {"no consecutive pair", with({100, T(1.5), kEnd}), 960000, {{30, 31.5f, 0, 7}}},
        // Decoding again from the window's start would give the same tokens: the rest ends the window.
        {"a pair at the window's start", with({T(0), 100, kEnd}), 960000, {{30, 30, 0, 4}, {30, 30, 4, 7}}},
        {"a pair at the start, then a last timestamp", with({T(0), 100, T(0), kEnd}), 960000, {{30, 30, 0, 4}, {30, 30, 4, 7}}},
    };
    SegmentSeeker seeker;
    FakeWhisperTokenizer tokenizer;
    DecodingOptions options;
    for (const auto& c : cases) {
        const DecodingResult result = window(c.tokens);
        const auto [seek, segments] =
            seeker.findSeekPointAndSegments(result, options, 7, 480000, 480000, 16000, kTimeBegin, kEnd, tokenizer);
        EXPECT_EQ(seek, c.seek) << c.name;
        ASSERT_TRUE(segments) << c.name;
        ASSERT_EQ(segments->size(), c.segments.size()) << c.name;
        for (size_t i = 0; i < c.segments.size(); ++i) {
            const auto& s = (*segments)[i];
            const auto& e = c.segments[i];
            const Tokens slice(c.tokens.begin() + static_cast<std::ptrdiff_t>(e.from), c.tokens.begin() + static_cast<std::ptrdiff_t>(e.to));
            EXPECT_EQ(s.id, 7 + static_cast<int64_t>(i)) << c.name;
            EXPECT_EQ(s.seek, 480000);
            EXPECT_FLOAT_EQ(s.start, e.start) << c.name << " " << i;
            EXPECT_FLOAT_EQ(s.end, e.end) << c.name << " " << i;
            EXPECT_EQ(s.tokens, slice) << c.name << " " << i;
            ASSERT_EQ(s.tokenLogProbs.size(), slice.size());
            EXPECT_EQ(s.tokenLogProbs.front(), result.tokenLogProbs[e.from]);
            EXPECT_EQ(s.text, tokenizer.decode(slice));
            EXPECT_EQ(s.temperature, 0.2f);
            EXPECT_EQ(s.avgLogprob, -0.3f);
            EXPECT_EQ(s.compressionRatio, 1.5f);
            EXPECT_EQ(s.noSpeechProb, 0.1f);
            EXPECT_FALSE(s.words);
        }
    }
}

TEST(SegmentSeekerTests, SilenceAndSpecialTokenText) {
    SegmentSeeker seeker;
    FakeWhisperTokenizer tokenizer({{100, " Hello"}});
    DecodingResult result = window({kStart, kEnglish, kTranscribe, T(0), 100, T(1), kEnd});
    result.noSpeechProb = 0.7f;
    DecodingOptions options;
    options.noSpeechThreshold = 0.6f;
    options.logProbThreshold = -1.0f;
    auto find = [&] { return seeker.findSeekPointAndSegments(result, options, 0, 480000, 480000, 16000, kTimeBegin, kEnd, tokenizer); };
    result.avgLogProb = -2.0f;
    EXPECT_EQ(find(), (std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>>{960000, std::nullopt}));
    result.avgLogProb = -0.5f;  // confident enough to be speech
    EXPECT_TRUE(find().second);
    options.noSpeechThreshold.reset();
    result.avgLogProb = -2.0f;
    ASSERT_TRUE(find().second);
    EXPECT_EQ(find().second->front().text, "<|startoftranscript|><|en|><|transcribe|><|0.00|> Hello<|1.00|><|endoftext|>");
    options.skipSpecialTokens = true;
    EXPECT_EQ(find().second->front().text, " Hello");
}
