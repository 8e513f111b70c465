#pragma once
// The decoder's input buffers and key/value cache for one transcription, the cache snapshot of one
// model call, and a chunk of audio cut by voice activity.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

using MLMultiArrayRef = std::shared_ptr<coreml::MLMultiArray>;

// How the text decoder and the window loop see the inputs.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;
    virtual const std::vector<int64_t>& initialPrompt() const = 0;
    virtual void setInitialPrompt(std::vector<int64_t> value) = 0;
    virtual const MLMultiArrayRef& inputIds() const = 0;
    virtual void setInputIds(MLMultiArrayRef value) = 0;
    virtual const MLMultiArrayRef& cacheLength() const = 0;
    virtual void setCacheLength(MLMultiArrayRef value) = 0;
    // Back to the state right after the prompt was prefilled.
    virtual void reset(int64_t prefilledCacheSize, int64_t maxTokenContext) = 0;
};

class DecodingInputs : public DecodingInputsType {
public:
    DecodingInputs(std::vector<int64_t> initialPrompt, MLMultiArrayRef inputIds, MLMultiArrayRef cacheLength,
                   MLMultiArrayRef keyCache, MLMultiArrayRef valueCache, MLMultiArrayRef alignmentWeights,
                   MLMultiArrayRef kvCacheUpdateMask, MLMultiArrayRef decoderKeyPaddingMask,
                   MLMultiArrayRef prefillKeyCache, MLMultiArrayRef prefillValueCache);

    const std::vector<int64_t>& initialPrompt() const override { return initialPrompt_; }
    void setInitialPrompt(std::vector<int64_t> value) override { initialPrompt_ = std::move(value); }
    const MLMultiArrayRef& inputIds() const override { return inputIds_; }
    void setInputIds(MLMultiArrayRef value) override { inputIds_ = std::move(value); }
    const MLMultiArrayRef& cacheLength() const override { return cacheLength_; }
    void setCacheLength(MLMultiArrayRef value) override { cacheLength_ = std::move(value); }
    const MLMultiArrayRef& keyCache() const { return keyCache_; }
    void setKeyCache(MLMultiArrayRef value) { keyCache_ = std::move(value); }
    const MLMultiArrayRef& valueCache() const { return valueCache_; }
    void setValueCache(MLMultiArrayRef value) { valueCache_ = std::move(value); }
    const MLMultiArrayRef& alignmentWeights() const { return alignmentWeights_; }
    void setAlignmentWeights(MLMultiArrayRef value) { alignmentWeights_ = std::move(value); }
    const MLMultiArrayRef& kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
    void setKvCacheUpdateMask(MLMultiArrayRef value) { kvCacheUpdateMask_ = std::move(value); }
    const MLMultiArrayRef& decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }
    void setDecoderKeyPaddingMask(MLMultiArrayRef value) { decoderKeyPaddingMask_ = std::move(value); }
    const MLMultiArrayRef& prefillKeyCache() const { return prefillKeyCache_; }
    void setPrefillKeyCache(MLMultiArrayRef value) { prefillKeyCache_ = std::move(value); }
    const MLMultiArrayRef& prefillValueCache() const { return prefillValueCache_; }
    void setPrefillValueCache(MLMultiArrayRef value) { prefillValueCache_ = std::move(value); }

    // cacheLength[0] = p; for i below n, the padding mask opens positions 0...p and closes the rest,
    // and the update mask holds its single 1 at min(p, n - 1). Caches and positions from n on keep
    // their contents. n is clamped to [0, mask length], so a token context beyond the masks or a
    // negative one never writes outside them.
    void reset(int64_t prefilledCacheSize, int64_t maxTokenContext) override;

private:
    std::vector<int64_t> initialPrompt_;
    MLMultiArrayRef inputIds_;
    MLMultiArrayRef cacheLength_;
    MLMultiArrayRef keyCache_;
    MLMultiArrayRef valueCache_;
    MLMultiArrayRef alignmentWeights_;
    MLMultiArrayRef kvCacheUpdateMask_;
    MLMultiArrayRef decoderKeyPaddingMask_;
    MLMultiArrayRef prefillKeyCache_;
    MLMultiArrayRef prefillValueCache_;
};

// The caches and alignment weights out of one model call; each may be absent (null). The arrays are
// shared, not copied.
struct DecodingCache {
    MLMultiArrayRef keyCache;
    MLMultiArrayRef valueCache;
    MLMultiArrayRef alignmentWeights;
};

struct AudioChunk {
    int64_t seekOffsetIndex = 0;  // the chunk's first sample in the whole recording
    std::vector<float> audioSamples;
};

}  // namespace lexiphonic
