#include "Lexiphonic/Core/Models/DecodingInputs.hpp"

#include <algorithm>

namespace lexiphonic {

DecodingInputs::DecodingInputs(std::vector<int64_t> initialPrompt, MLMultiArrayRef inputIds,
                               MLMultiArrayRef cacheLength, MLMultiArrayRef keyCache, MLMultiArrayRef valueCache,
                               MLMultiArrayRef alignmentWeights, MLMultiArrayRef kvCacheUpdateMask,
                               MLMultiArrayRef decoderKeyPaddingMask, MLMultiArrayRef prefillKeyCache,
                               MLMultiArrayRef prefillValueCache)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)),
      prefillKeyCache_(std::move(prefillKeyCache)),
      prefillValueCache_(std::move(prefillValueCache)) {}

void DecodingInputs::reset(int64_t p, int64_t n) {
    if (cacheLength_ && cacheLength_->count() > 0) cacheLength_->setValue(0, static_cast<double>(p));
    if (!kvCacheUpdateMask_ || !decoderKeyPaddingMask_) return;
    // Never touch an element outside either mask, whatever the caller's token context.
    const int64_t limit = std::clamp<int64_t>(n, 0, std::min(kvCacheUpdateMask_->count(), decoderKeyPaddingMask_->count()));
    auto& update = *kvCacheUpdateMask_;
    auto& padding = *decoderKeyPaddingMask_;
    for (int64_t i = 0; i < limit; ++i) {
        if (i <= p) {
            padding.setValue(i, 0.0);
            if (i >= 1) update.setValue(i - 1, 0.0);
            update.setValue(i, 1.0);
        } else {
            padding.setValue(i, -10000.0);
            update.setValue(i, 0.0);
        }
    }
}

}  // namespace lexiphonic
