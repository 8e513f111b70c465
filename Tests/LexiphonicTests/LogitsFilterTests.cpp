#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Text/LogitsFilter.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;  // half-open id ranges

// Which ids of the logits hold -inf.
std::vector<bool> maskedIds(const coreml::MLMultiArray& array) {
    std::vector<bool> masked;
    for (float v : valuesOf(array)) masked.push_back(v == -std::numeric_limits<float>::infinity());
    return masked;
}

std::vector<bool> expectedMask(int64_t n, const Ranges& ranges) {
    std::vector<bool> masked(static_cast<size_t>(n), false);
    for (auto [begin, end] : ranges)
        for (int64_t i = begin; i < end; ++i) masked[static_cast<size_t>(i)] = true;
    return masked;
}

// Logits where one text token clearly wins, so the timestamp mass rule stays quiet.
std::shared_ptr<coreml::MLMultiArray> textFavoured() {
    auto array = logits({}, kVocabulary);
    array->setValue(100, 20);
    return array;
}

}  // namespace

TEST(LogitsFilterTests, SuppressTokensSkipsIdsOutsideTheVocabulary) {
    SuppressTokensFilter filter({5, -1, 7, 1000, 1 << 30});
    auto array = logits({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    for (int call = 0; call < 2; ++call) {  // at every step, whatever the tokens
        EXPECT_EQ(filter.filterLogits(array, std::vector<int64_t>(static_cast<size_t>(call))), array);
        EXPECT_EQ(maskedIds(*array), expectedMask(10, {{5, 6}, {7, 8}}));
    }
    EXPECT_EQ(valuesOf(*array)[4], 5.0f);
}

TEST(LogitsFilterTests, SuppressBlankActsOnlyAtItsSampleBegin) {
    SuppressBlankFilter filter(SpecialTokens{}, 3);
    auto untouched = textFavoured();
    filter.filterLogits(untouched, {kStart, kEnglish, kTranscribe, 7});
    EXPECT_EQ(maskedIds(*untouched), expectedMask(kVocabulary, {}));
    auto masked = textFavoured();
    filter.filterLogits(masked, {kStart, kEnglish, kTranscribe});
    EXPECT_EQ(maskedIds(*masked), expectedMask(kVocabulary, {{220, 221}, {kEnd, kEnd + 1}}));
}

TEST(LogitsFilterTests, LanguageFilterLeavesOnlyLanguageTokens) {
    LanguageLogitsFilter filter({2, 5}, 8, 1);
    EXPECT_EQ(filter.nonLanguageTokenIndexes(), (std::vector<int64_t>{0, 1, 3, 4, 6, 7}));
    auto below = logits({1, 1, 1, 1, 1, 1, 1, 1});
    filter.filterLogits(below, {});
    EXPECT_EQ(maskedIds(*below), expectedMask(8, {}));
    auto array = logits({1, 1, 1, 1, 1, 1, 1, 1});
    filter.filterLogits(array, {kStart});
    EXPECT_EQ(maskedIds(*array), expectedMask(8, {{0, 2}, {3, 5}, {6, 8}}));

    LanguageLogitsFilter none({}, 4, 0);
    auto all = logits({1, 2, 3, 4});
    none.filterLogits(all, {});
    EXPECT_EQ(maskedIds(*all), expectedMask(4, {{0, 4}}));
    EXPECT_TRUE(LanguageLogitsFilter({1}, -3, 0).nonLanguageTokenIndexes().empty());
}

TEST(LogitsFilterTests, TimestampGrammar) {
    const int64_t V = kVocabulary;
    struct Case {
        const char* name;
        bool multilingual;
        std::vector<int64_t> tokens;
        Ranges masked;
    };
    const std::vector<Case> cases = {
        {"nothing sampled", false, {kStart}, {{kNoTimestamps, kNoTimestamps + 1}}},
        // Text is forbidden after a lone timestamp, and then the open timestamps outweigh what is left.
        {"text then timestamp", false, {kStart, 7, T(1.0)}, {{0, kTimeBegin}, {kTimeBegin, T(1.0)}}},
        {"two timestamps", false, {kStart, T(0.5), T(1.0)}, {{kNoTimestamps, kNoTimestamps + 1}, {kTimeBegin, V}}},
        {"a single sampled timestamp", false, {kStart, T(0.0)}, {{kNoTimestamps, kNoTimestamps + 1}, {kTimeBegin, V}}},
        {"timestamp then text", false, {kStart, T(1.0), 7, 8}, {{kNoTimestamps, kNoTimestamps + 1}, {kTimeBegin, T(1.0) + 1}}},
        {"prompt with a task token", true, {kStart, kEnglish, kTranscribe}, {{kNoTimestamps, kNoTimestamps + 1}}},
        {"translate counts as the task", true, {kStart, kEnglish, kTranslate, T(0.2), 9}, {{kNoTimestamps, kNoTimestamps + 1}, {kTimeBegin, T(0.2) + 1}}},
        {"no task token among the first three", true, {kStartOfPrevious, 7, 8, kStart, kEnglish, kTranscribe, T(0.0)}, {}},
    };
    for (const auto& c : cases) {
        // Sample begin 1 for the single-language model; 3 for the multilingual prompt.
        TimestampRulesFilter filter(SpecialTokens{}, c.multilingual ? 3 : 1, std::nullopt, c.multilingual);
        auto array = textFavoured();
        filter.filterLogits(array, c.tokens);
        EXPECT_EQ(maskedIds(*array), expectedMask(V, c.masked)) << c.name;

        // The initial-timestamp cap changes nothing.
        TimestampRulesFilter capped(SpecialTokens{}, c.multilingual ? 3 : 1, 0, c.multilingual);
        auto again = textFavoured();
        capped.filterLogits(again, c.tokens);
        EXPECT_EQ(maskedIds(*again), maskedIds(*array)) << c.name;
    }
    // Fewer tokens than the sample begin: untouched.
    TimestampRulesFilter late(SpecialTokens{}, 4, std::nullopt, false);
    auto array = textFavoured();
    late.filterLogits(array, {kStart, 7});
    EXPECT_EQ(maskedIds(*array), expectedMask(V, {}));
}

TEST(LogitsFilterTests, TimestampMassForcesATimestampOnlyWhenStrictlyAbove) {
    const float ninf = -std::numeric_limits<float>::infinity();
    // Every timestamp masked but `open` of them, each as likely as the best text token.
    auto make = [&](int open) {
        auto array = logits({}, kVocabulary);
        for (int64_t id = kTimeBegin; id < kVocabulary; ++id) array->setValue(id, ninf);
        array->setValue(42, 6.5);
        for (int i = 0; i < open; ++i) array->setValue(kTimeBegin + 10 + i, 6.5);
        return array;
    };
    EXPECT_FALSE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*make(1), kTimeBegin));
    EXPECT_TRUE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*make(2), kTimeBegin));

    // The filter then forbids every text token; the timestamps stay open.
    TimestampRulesFilter filter(SpecialTokens{}, 1, std::nullopt, false);
    auto forced = make(2);
    filter.filterLogits(forced, {kStart});
    const auto masked = maskedIds(*forced);
    EXPECT_TRUE(masked[42] && masked[0] && masked[kEnd]);
    EXPECT_FALSE(masked[kTimeBegin + 10]);

    // Equal logits everywhere: the 1501 timestamps together outweigh any one text token.
    EXPECT_TRUE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*logits({}, kVocabulary), kTimeBegin));
    // NaN logits, a fully masked array and a split outside the logits answer false.
    auto nan = logits({}, kVocabulary);
    nan->setValue(3, std::nan(""));
    EXPECT_FALSE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*nan, kTimeBegin));
    auto masked2 = logits({}, kVocabulary);
    for (int64_t i = 0; i < kVocabulary; ++i) masked2->setValue(i, ninf);
    EXPECT_FALSE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*masked2, kTimeBegin));
    EXPECT_FALSE(TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*logits({1, 2}), kTimeBegin));
}
