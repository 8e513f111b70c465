#pragma once
// The text-decoder stage: the decoder model's dimensions, the decoder inputs of a transcription with
// their forced prompt and prefilled cache, the token loop over one window and language detection.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/LogitsFiltering.hpp"
#include "Lexiphonic/Core/Models/DecodingInputs.hpp"
#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Text/TokenSampler.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "Lexiphonic/Core/WhisperMLModel.hpp"
#include "Platform/CoreML/Float16.hpp"

namespace lexiphonic {

// What one decoder-model call takes.
class TextDecoderInputType {
public:
    virtual ~TextDecoderInputType() = default;
};

struct TextDecoderMLMultiArrayInputType : TextDecoderInputType {
    TextDecoderMLMultiArrayInputType(MLMultiArrayRef inputIds, MLMultiArrayRef cacheLength, MLMultiArrayRef keyCache,
                                     MLMultiArrayRef valueCache, MLMultiArrayRef kvCacheUpdateMask,
                                     MLMultiArrayRef encoderOutputEmbeds, MLMultiArrayRef decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)),
          cacheLength(std::move(cacheLength)),
          keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)),
          kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
          decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

    MLMultiArrayRef inputIds;
    MLMultiArrayRef cacheLength;
    MLMultiArrayRef keyCache;
    MLMultiArrayRef valueCache;
    MLMultiArrayRef kvCacheUpdateMask;
    MLMultiArrayRef encoderOutputEmbeds;
    MLMultiArrayRef decoderKeyPaddingMask;
};

// What one decoder-model call gives.
class TextDecoderOutputType {
public:
    virtual ~TextDecoderOutputType() = default;
};

struct TextDecoderMLMultiArrayOutputType : TextDecoderOutputType {
    TextDecoderMLMultiArrayOutputType(MLMultiArrayRef logits = nullptr, std::optional<DecodingCache> cache = std::nullopt)
        : logits(std::move(logits)), cache(std::move(cache)) {}

    MLMultiArrayRef logits;
    // The step's key and value updates and alignment weights.
    std::optional<DecodingCache> cache;
};

// Holds the optional model that fills the first cache positions of the prompt in one call.
class TextDecoderContextPrefill : public WhisperMLModel {
public:
    std::shared_ptr<coreml::MLModel> model() const override {
        std::lock_guard guard(modelMutex_);
        return model_;
    }
    void setModel(std::shared_ptr<coreml::MLModel> model) override {
        std::lock_guard guard(modelMutex_);
        model_ = std::move(model);
    }

private:
    mutable std::mutex modelMutex_;  // the holder is published before its model is loaded into it
    std::shared_ptr<coreml::MLModel> model_;
};

class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) = 0;
    virtual std::shared_ptr<WhisperMLModel> prefillData() const = 0;
    virtual void setPrefillData(std::shared_ptr<WhisperMLModel> prefillData) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool isModelMultilingual) = 0;

    // Dimensions of the loaded decoder model, read from its description on every call; absent while
    // none is loaded or the feature is missing.
    virtual bool supportsWordTimestamps() const = 0;
    virtual std::optional<int64_t> logitsSize() const = 0;
    // Filters applied before the decoder's own; absent means none.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;
    virtual std::optional<int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<int64_t> windowSize() const = 0;
    virtual std::optional<int64_t> embedSize() const = 0;

    // One model call; nothing when no model is loaded.
    virtual std::shared_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input) = 0;

    // New decoder inputs for one transcription, sized from the model's dimensions, with `withPrompt`
    // as the prompt and the state of an empty cache. Throws WhisperError::prepareDecoderInputsFailed
    // when a dimension cannot be read.
    virtual std::shared_ptr<DecodingInputs> prepareDecoderInputs(const std::vector<int64_t>& withPrompt);
    // Builds the forced prompt from the options into `inputs` and, when the prefill model is used,
    // fills the cache for it. Returns the same inputs.
    virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(std::shared_ptr<DecodingInputsType> inputs,
                                                                     const std::optional<DecodingOptions>& withOptions);
    // The prefill model's keys and values for the task and language, or nothing without a prefill model.
    virtual std::optional<DecodingCache> prefillKVCache(MLMultiArrayRef withTask, MLMultiArrayRef andLanguage);

    // Decodes one window's encoder output into tokens and text.
    virtual DecodingResult decodeText(MLMultiArrayRef from, std::shared_ptr<DecodingInputsType> using_,
                                      TokenSampling& sampler, const DecodingOptions& options,
                                      const TranscriptionCallback& callback = {}) = 0;
    // The same as a one-element list.
    virtual std::vector<DecodingResult> decodeTextResults(MLMultiArrayRef from, std::shared_ptr<DecodingInputs> using_,
                                                          TokenSampling& sampler, const DecodingOptions& options,
                                                          const TranscriptionCallback& callback = {});
    // The spoken language from one model call on the start-of-transcript token.
    virtual DecodingResult detectLanguage(MLMultiArrayRef from, std::shared_ptr<DecodingInputsType> using_,
                                          TokenSampling& sampler, const DecodingOptions& options,
                                          coreml::Float16 temperature) = 0;
    virtual std::vector<DecodingResult> detectLanguageResults(MLMultiArrayRef from, std::shared_ptr<DecodingInputs> using_,
                                                              TokenSampling& sampler, const DecodingOptions& options,
                                                              coreml::Float16 temperature);

    // Copies the slice's positions (last dimension) into the key and value caches [1, E, 1, S] from
    // position `insertAtIndex` on. Half-precision arrays only; throws WhisperError::decodingFailed,
    // writing nothing, when the slice does not fit the caches.
    static void updateKVCache(coreml::MLMultiArray& keyTensor, const coreml::MLMultiArray& keySlice,
                              coreml::MLMultiArray& valueTensor, const coreml::MLMultiArray& valueSlice,
                              int64_t insertAtIndex);
    // Copies one row of alignment weights into row `insertAtIndex` + 1 of the [S, W] alignment tensor;
    // throws WhisperError::decodingFailed, writing nothing, when it does not fit.
    static void updateAlignmentWeights(coreml::MLMultiArray& alignmentTensor, const coreml::MLMultiArray& alignmentSlice,
                                       int64_t insertAtIndex);
};

}  // namespace lexiphonic
