#pragma once
// The engine's text decoder: for one 30-second window it feeds the forced prompt, runs the decoder
// model one token per call with the key-value cache, masks the logits, lets the sampler choose the
// next token and finally scores the window and says whether it must be decoded again hotter.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Lexiphonic/Core/Text/LogitsFilter.hpp"
#include "Lexiphonic/Core/TextDecoding.hpp"
#include "PelluxCore/ConcurrencyUtilities.hpp"

namespace lexiphonic {

class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    // Runs one progress report off the decoding path; it is never awaited.
    using ProgressExecutor = std::function<void(std::function<void()>)>;

    // Progress reports run on the shared task pool.
    TextDecoder();
    // Progress reports run on `progressExecutor` (tests pass one that runs them at once).
    explicit TextDecoder(ProgressExecutor progressExecutor);

    std::shared_ptr<coreml::MLModel> model() const override;
    void setModel(std::shared_ptr<coreml::MLModel> model) override;
    std::shared_ptr<WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) override { tokenizer_ = std::move(tokenizer); }
    std::shared_ptr<WhisperMLModel> prefillData() const override;
    void setPrefillData(std::shared_ptr<WhisperMLModel> prefillData) override;
    bool isModelMultilingual() const override { return isModelMultilingual_; }
    void setIsModelMultilingual(bool value) override { isModelMultilingual_ = value; }
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override { return logitsFilters_; }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) override {
        logitsFilters_ = std::move(filters);
    }
    const std::shared_ptr<pellux::EarlyStopActor>& earlyStopActor() const { return earlyStopActor_; }

    bool supportsWordTimestamps() const override;
    std::optional<int64_t> logitsSize() const override;
    std::optional<int64_t> kvCacheEmbedDim() const override;
    std::optional<int64_t> kvCacheMaxSequenceLength() const override;
    std::optional<int64_t> windowSize() const override;
    std::optional<int64_t> embedSize() const override;

    // Loads the model and checks it against the decoder's contract first: a model whose cache holds
    // fewer than Constants::maxTokenContext positions, whose masks, cache updates or alignment
    // weights do not match its cache and window, or that lacks a required feature is refused with
    // WhisperError::modelsUnavailable, leaving the decoder as it was.
    void loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits, bool prewarmMode) override;
    // Drops the model, the prefill holder and the cached language filter; the tokenizer and filters stay.
    void unloadModel() override;
    // Throws WhisperError::modelsUnavailable naming the first way the model breaks the contract.
    static void checkModelContract(const coreml::MLModel& model);

    std::shared_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input) override;
    struct Prediction {
        MLMultiArrayRef logits;
        DecodingCache cache;  // the step's key and value updates and alignment weights
    };
    // One model call; nothing without a model. Checks the current job for cancellation first.
    std::optional<Prediction> predictLogits(MLMultiArrayRef inputIds, MLMultiArrayRef cacheLength, MLMultiArrayRef keyCache,
                                            MLMultiArrayRef valueCache, MLMultiArrayRef kvCacheUpdateMask,
                                            MLMultiArrayRef encoderOutputEmbeds, MLMultiArrayRef decoderKeyPaddingMask);

    DecodingResult decodeText(MLMultiArrayRef from, std::shared_ptr<DecodingInputsType> using_, TokenSampling& sampler,
                              const DecodingOptions& options, const TranscriptionCallback& callback = {}) override;
    DecodingResult detectLanguage(MLMultiArrayRef from, std::shared_ptr<DecodingInputsType> using_, TokenSampling& sampler,
                                  const DecodingOptions& options, coreml::Float16 temperature) override;

    // The filters of one window: the decoder's own, then blank suppression, token suppression and the
    // timestamp rules as the options ask.
    std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(const DecodingOptions& options,
                                                                      int64_t prefilledIndex,
                                                                      int64_t initialPromptIndex,
                                                                      const WhisperTokenizer& tokenizer) const;
    // The debug table of the inputs' first cache positions.
    void debugCaches(const DecodingInputs& decoderInputs, int64_t tokenIndex, int64_t prefillSize) const;

private:
    mutable std::mutex modelMutex_;  // guards the two model pointers, which loading and unloading replace
    std::shared_ptr<coreml::MLModel> model_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    std::shared_ptr<WhisperMLModel> prefillData_;
    bool isModelMultilingual_ = false;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_{std::vector<std::shared_ptr<LogitsFiltering>>{}};
    const std::shared_ptr<pellux::EarlyStopActor> earlyStopActor_ = std::make_shared<pellux::EarlyStopActor>();
    ProgressExecutor progressExecutor_;
    // Built by the first language detection; windows may detect concurrently.
    mutable std::mutex languageFilterMutex_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;
};

}  // namespace lexiphonic
