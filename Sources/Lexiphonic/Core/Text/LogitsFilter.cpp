#include "Lexiphonic/Core/Text/LogitsFilter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Lexiphonic/Core/Text/LogitsMath.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/CoreML/Float16.hpp"

namespace lexiphonic {
namespace {

using coreml::Float16;
using coreml::MLMultiArray;

const Float16 kMaskedHalf = static_cast<Float16>(-std::numeric_limits<float>::infinity());

// Writes negative infinity at ids along the last dimension, skipping ids outside it.
class Mask {
public:
    explicit Mask(MLMultiArray& logits)
        : logits_(logits),
          vocabulary_(logits.shape().empty() ? 0 : logits.shape().back()),
          stride_(logits.strides().empty() ? 1 : logits.strides().back()),
          halves_(logits.dataType() == coreml::MLMultiArrayDataType::float16 ? logits.data<Float16>() : nullptr) {}

    int64_t vocabulary() const { return vocabulary_; }

    void id(int64_t id) {
        if (id >= 0 && id < vocabulary_) write(id * stride_);
    }
    void range(int64_t begin, int64_t end) {
        begin = std::max<int64_t>(begin, 0);
        end = std::min(end, vocabulary_);
        if (halves_ && stride_ == 1 && begin < end) {
            std::fill(halves_ + begin, halves_ + end, kMaskedHalf);
            return;
        }
        for (int64_t i = begin; i < end; ++i) write(i * stride_);
    }

private:
    void write(int64_t offset) {
        if (halves_) {
            halves_[offset] = kMaskedHalf;
        } else {
            logits_.setValue(offset, -std::numeric_limits<double>::infinity());
        }
    }

    MLMultiArray& logits_;
    int64_t vocabulary_;
    int64_t stride_;
    Float16* halves_;
};

}  // namespace

// ---- SuppressTokensFilter

SuppressTokensFilter::SuppressTokensFilter(std::vector<int64_t> suppressTokens) : suppressTokens_(std::move(suppressTokens)) {}

std::shared_ptr<MLMultiArray> SuppressTokensFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>&) {
    if (!logits) return logits;
    Mask mask(*logits);
    for (int64_t id : suppressTokens_) mask.id(id);
    return logits;
}

// ---- SuppressBlankFilter

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin)
    : specialTokens_(specialTokens), sampleBegin_(sampleBegin) {}

std::shared_ptr<MLMultiArray> SuppressBlankFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                const std::vector<int64_t>& tokens) {
    if (!logits || static_cast<int64_t>(tokens.size()) != sampleBegin_) return logits;
    Mask mask(*logits);
    mask.id(specialTokens_.whitespaceToken);
    mask.id(specialTokens_.endToken);
    return logits;
}

// ---- TimestampRulesFilter

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin,
                                           std::optional<int64_t> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      maxInitialTimestampIndex_(maxInitialTimestampIndex),
      isModelMultilingual_(isModelMultilingual) {}

std::optional<int64_t> TimestampRulesFilter::sampleBegin(const std::vector<int64_t>& tokens) const {
    if (!isModelMultilingual_) return sampleBegin_;
    for (size_t k = 0; k < 3 && k < tokens.size(); ++k) {
        if (tokens[k] == specialTokens_.transcribeToken || tokens[k] == specialTokens_.translateToken)
            return std::max(static_cast<int64_t>(k) + 1, sampleBegin_);
    }
    return std::nullopt;
}

std::shared_ptr<MLMultiArray> TimestampRulesFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>& tokens) {
    if (!logits) return logits;
    const auto begin = sampleBegin(tokens);
    if (!begin || static_cast<int64_t>(tokens.size()) < *begin) return logits;
    const int64_t timeBegin = specialTokens_.timeTokenBegin;
    auto isTimestamp = [timeBegin](int64_t token) { return token >= timeBegin; };

    Mask mask(*logits);
    mask.id(specialTokens_.noTimestampsToken);

    const auto sampledBegin = tokens.begin() + std::max<int64_t>(*begin, 0);
    const auto sampledCount = tokens.end() - sampledBegin;
    if (sampledCount > 0) {
        const bool lastWasTimestamp = isTimestamp(tokens.back());
        const bool penultimateWasTimestamp = sampledCount < 2 || isTimestamp(tokens[tokens.size() - 2]);
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp) {
                mask.range(timeBegin, logits->count());
            } else {
                mask.range(0, specialTokens_.endToken);
            }
        }
        // Timestamps never decrease; one that closes a segment may repeat the one before it.
        const auto lastTimestamp = std::find_if(std::make_reverse_iterator(tokens.end()),
                                                std::make_reverse_iterator(sampledBegin), isTimestamp);
        if (lastTimestamp != std::make_reverse_iterator(sampledBegin)) {
            const int64_t last = *lastTimestamp;
            mask.range(timeBegin, lastWasTimestamp && !penultimateWasTimestamp ? last : last + 1);
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*logits, timeBegin)) mask.range(0, timeBegin);
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const MLMultiArray& logits,
                                                                               int64_t timeTokenBegin) {
    thread_local std::vector<float> x;
    logitsmath::widen(logits, x);
    const int64_t count = static_cast<int64_t>(x.size());
    const int64_t stride = logits.strides().empty() ? 1 : logits.strides().back();
    const int64_t k = timeTokenBegin * stride;
    if (count == 0) {
        pellux::Logging::error("Cannot create `logprobsInputDescriptor`");
        return false;
    }
    if (k >= count || k < 0) {
        pellux::Logging::error("Cannot create `logSumExpInputDescriptor`");
        return false;
    }
    if (k == 0) {
        pellux::Logging::error("Cannot create `maxTextTokenLogProbInputDescriptor`");
        return false;
    }

    // log-softmax(x)_i = x_i - lse, kept in half precision as the model's logits are.
    const auto& kernels = logitsmath::kernels();
    const float maximum = kernels.maxValue(x.data(), x.size());
    const float lse = maximum + static_cast<float>(std::log(kernels.sumExp(x.data(), x.size(), maximum)));
    if (!std::isfinite(lse)) return false;  // every token masked, or NaN logits

    // Rounding to half precision keeps the order, so the best text log-probability is that of the
    // largest text logit.
    const Float16 bestText = static_cast<Float16>(kernels.maxValue(x.data(), static_cast<size_t>(k)) - lse);

    // The timestamps' log-probabilities, rounded to half precision in bulk, then their log-sum-exp.
    thread_local std::vector<float> timestamps;
    thread_local std::vector<Float16> rounded;
    const size_t n = static_cast<size_t>(count - k);
    timestamps.resize(n);
    rounded.resize(n);
    for (size_t i = 0; i < n; ++i) timestamps[i] = x[static_cast<size_t>(k) + i] - lse;
    coreml::convertFloat32ToFloat16(timestamps.data(), rounded.data(), n);
    coreml::convertFloat16ToFloat32(rounded.data(), timestamps.data(), n);
    const float timestampMax = kernels.maxValue(timestamps.data(), n);
    if (timestampMax == -std::numeric_limits<float>::infinity()) return false;
    const double total = kernels.sumExp(timestamps.data(), n, timestampMax);
    const Float16 timestampMass = static_cast<Float16>(timestampMax + static_cast<float>(std::log(total)));
    return timestampMass > bestText;
}

// ---- LanguageLogitsFilter

LanguageLogitsFilter::LanguageLogitsFilter(std::set<int64_t> allLanguageTokens, int64_t logitsDim, int64_t sampleBegin)
    : allLanguageTokens_(std::move(allLanguageTokens)),
      logitsDim_(std::max<int64_t>(logitsDim, 0)),
      sampleBegin_(sampleBegin),
      nonLanguageTokenIndexes_(getNonLanguageTokenIndexes(logitsDim_, allLanguageTokens_)) {}

std::vector<int64_t> LanguageLogitsFilter::getNonLanguageTokenIndexes(int64_t logitsDim,
                                                                      const std::set<int64_t>& allLanguageTokens) {
    std::vector<int64_t> indexes;
    indexes.reserve(static_cast<size_t>(std::max<int64_t>(logitsDim, 0)));
    for (int64_t i = 0; i < logitsDim; ++i)
        if (!allLanguageTokens.contains(i)) indexes.push_back(i);
    return indexes;
}

std::shared_ptr<MLMultiArray> LanguageLogitsFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>& tokens) {
    if (!logits || static_cast<int64_t>(tokens.size()) < sampleBegin_) return logits;
    Mask mask(*logits);
    for (int64_t id : nonLanguageTokenIndexes_) mask.id(id);
    return logits;
}

}  // namespace lexiphonic
