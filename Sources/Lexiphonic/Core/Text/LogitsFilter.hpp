#pragma once
// The filters that forbid tokens before each step's token is sampled, by writing negative infinity
// into their logits in place. Positions are token ids along the last dimension of [1, 1, vocabulary]
// logits; ids outside the vocabulary are skipped, never written. No filter throws.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "Lexiphonic/Core/LogitsFiltering.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"

namespace lexiphonic {

// Forbids a fixed list of ids at every step.
class SuppressTokensFilter : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<int64_t> suppressTokens);
    const std::vector<int64_t>& suppressTokens() const { return suppressTokens_; }
    std::shared_ptr<coreml::MLMultiArray> filterLogits(std::shared_ptr<coreml::MLMultiArray> logits,
                                                       const std::vector<int64_t>& tokens) override;

private:
    std::vector<int64_t> suppressTokens_;
};

// Forbids the lone space and the end of text at the first sampled position, when the sequence holds
// exactly `sampleBegin` tokens.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin);
    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int64_t sampleBegin() const { return sampleBegin_; }
    std::shared_ptr<coreml::MLMultiArray> filterLogits(std::shared_ptr<coreml::MLMultiArray> logits,
                                                       const std::vector<int64_t>& tokens) override;

private:
    SpecialTokens specialTokens_;
    int64_t sampleBegin_;
};

// The grammar of timestamp tokens: they come in pairs, never decrease, and one is forced when the
// timestamps together are more likely than any single text token.
class TimestampRulesFilter : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin, std::optional<int64_t> maxInitialTimestampIndex,
                         bool isModelMultilingual);
    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int64_t sampleBegin() const { return sampleBegin_; }
    // Kept for callers; no rule reads it.
    std::optional<int64_t> maxInitialTimestampIndex() const { return maxInitialTimestampIndex_; }
    bool isModelMultilingual() const { return isModelMultilingual_; }
    std::shared_ptr<coreml::MLMultiArray> filterLogits(std::shared_ptr<coreml::MLMultiArray> logits,
                                                       const std::vector<int64_t>& tokens) override;

    // Where sampling begins in `tokens`: the stored value for a model that is not multilingual; for a
    // multilingual one, one past the task token among the first three tokens (at least the stored
    // value), and nothing when none of them is a task token.
    std::optional<int64_t> sampleBegin(const std::vector<int64_t>& tokens) const;
    // True when the log-sum-exp of the timestamp log-probabilities (ids from `timeTokenBegin` on) is
    // strictly above the best text log-probability, all in half precision; false for NaN.
    static bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const coreml::MLMultiArray& logits,
                                                                   int64_t timeTokenBegin);

private:
    SpecialTokens specialTokens_;
    int64_t sampleBegin_;
    std::optional<int64_t> maxInitialTimestampIndex_;
    bool isModelMultilingual_;
};

// Leaves only language tokens, once the sequence holds at least `sampleBegin` tokens.
class LanguageLogitsFilter : public LogitsFiltering {
public:
    // A negative `logitsDim` counts as 0.
    LanguageLogitsFilter(std::set<int64_t> allLanguageTokens, int64_t logitsDim, int64_t sampleBegin);
    const std::set<int64_t>& allLanguageTokens() const { return allLanguageTokens_; }
    int64_t logitsDim() const { return logitsDim_; }
    int64_t sampleBegin() const { return sampleBegin_; }
    const std::vector<int64_t>& nonLanguageTokenIndexes() const { return nonLanguageTokenIndexes_; }
    std::shared_ptr<coreml::MLMultiArray> filterLogits(std::shared_ptr<coreml::MLMultiArray> logits,
                                                       const std::vector<int64_t>& tokens) override;

    // Every id in 0 ..< logitsDim that is not a language token, ascending.
    static std::vector<int64_t> getNonLanguageTokenIndexes(int64_t logitsDim, const std::set<int64_t>& allLanguageTokens);

private:
    std::set<int64_t> allLanguageTokens_;
    int64_t logitsDim_;
    int64_t sampleBegin_;
    std::vector<int64_t> nonLanguageTokenIndexes_;
};

}  // namespace lexiphonic
