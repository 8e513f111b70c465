#include "Lexiphonic/Core/TextDecoding.hpp"

#include <algorithm>
#include <string>

#include "Lexiphonic/Core/ModelInputsOutputs.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/MLModelExtensions.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "PelluxCore/Logging.hpp"
#include "PelluxCore/MLMultiArrayExtensions.hpp"

namespace lexiphonic {

using coreml::Float16;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;

namespace {

// The last `count` entries of `tokens` that are text tokens, in order.
std::vector<int64_t> lastTextTokens(const std::vector<int64_t>& tokens, size_t count, int64_t specialTokenBegin) {
    std::vector<int64_t> kept;
    const size_t from = tokens.size() > count ? tokens.size() - count : 0;
    for (size_t i = from; i < tokens.size(); ++i)
        if (tokens[i] < specialTokenBegin) kept.push_back(tokens[i]);
    return kept;
}

bool isHalfPrecision(const MLMultiArray& array) { return array.dataType() == MLMultiArrayDataType::float16; }

}  // namespace

std::shared_ptr<DecodingInputs> TextDecoding::prepareDecoderInputs(const std::vector<int64_t>& withPrompt) {
    const auto embedDim = kvCacheEmbedDim();
    if (!embedDim) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    const auto sequenceLength = kvCacheMaxSequenceLength();
    if (!sequenceLength) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
    const auto window = windowSize();
    if (!window) throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
    const int64_t E = *embedDim, S = *sequenceLength, W = *window;

    auto inputIds = pellux::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0});
    auto cacheLength = pellux::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0});
    auto keyCache = pellux::makeMultiArray({1, E, 1, S}, MLMultiArrayDataType::float16, Float16{0});
    auto valueCache = pellux::makeMultiArray({1, E, 1, S}, MLMultiArrayDataType::float16, Float16{0});
    auto alignmentWeights = pellux::makeMultiArray({S, W}, MLMultiArrayDataType::float16, Float16{0});
    auto kvCacheUpdateMask = pellux::makeMultiArray({1, S}, MLMultiArrayDataType::int32, int32_t{0});
    auto decoderKeyPaddingMask = pellux::makeMultiArray({1, S}, MLMultiArrayDataType::float16, Float16{-10000});
    auto prefillKeyCache = MLMultiArray::make({1, E, 1, S}, MLMultiArrayDataType::float16);
    auto prefillValueCache = MLMultiArray::make({1, E, 1, S}, MLMultiArrayDataType::float16);
    kvCacheUpdateMask->setValue(0, 1);
    decoderKeyPaddingMask->setValue(0, 0);
    return std::make_shared<DecodingInputs>(withPrompt, inputIds, cacheLength, keyCache, valueCache, alignmentWeights,
                                            kvCacheUpdateMask, decoderKeyPaddingMask, prefillKeyCache, prefillValueCache);
}

std::shared_ptr<DecodingInputsType> TextDecoding::prefillDecoderInputs(std::shared_ptr<DecodingInputsType> decoderInputs,
                                                                       const std::optional<DecodingOptions>& options) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    auto inputs = std::dynamic_pointer_cast<DecodingInputs>(decoderInputs);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs");
    const SpecialTokens& special = tokenizer->specialTokens();

    // The forced prompt.
    std::vector<int64_t> prompt{special.startOfTranscriptToken};
    int64_t languageToken = special.englishToken;
    int64_t taskToken = special.transcribeToken;
    if (options) {
        if (isModelMultilingual()) {
            const std::string language = options->language.value_or(std::string(Constants::defaultLanguageCode));
            languageToken = tokenizer->convertTokenToId("<|" + language + "|>").value_or(special.englishToken);
            const char* task = options->task == DecodingTask::translate ? "<|translate|>" : "<|transcribe|>";
            taskToken = tokenizer->convertTokenToId(task).value_or(special.transcribeToken);
            prompt.push_back(languageToken);
            prompt.push_back(taskToken);
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
        if (options->promptTokens) {
            std::vector<int64_t> previous{special.startOfPreviousToken};
            for (int64_t token : lastTextTokens(*options->promptTokens, 111, special.specialTokenBegin))
                previous.push_back(token);
            prompt.insert(prompt.begin(), previous.begin(), previous.end());
        }
        if (options->prefixTokens) {
            for (int64_t token : lastTextTokens(*options->prefixTokens, 112, special.specialTokenBegin))
                prompt.push_back(token);
        }
    }
    inputs->setInitialPrompt(prompt);

    const bool usePrefill = options && options->usePrefillCache && prefillData() && !options->promptTokens;
    if (!usePrefill) {
        inputs->kvCacheUpdateMask()->setValue(0, 0);
        inputs->decoderKeyPaddingMask()->setValue(0, 0);
        inputs->kvCacheUpdateMask()->setValue(0, 1);
        return inputs;
    }

    const auto task = pellux::multiArrayFrom({taskToken != special.transcribeToken ? 1 : 0}, 1);
    const auto language = pellux::multiArrayFrom({languageToken}, 1);
    const auto cache = prefillKVCache(task, language);
    if (!cache) {
        pellux::Logging::error("Unable to prefill cache");
        return inputs;
    }
    if (!cache->keyCache || !cache->valueCache || cache->keyCache->shape().empty())
        throw WhisperError::prefillFailed("Unable to read the prefilled key and value caches");
    const int64_t n = cache->keyCache->shape().back();
    if (n + 1 > inputs->kvCacheUpdateMask()->count() || n + 1 > inputs->decoderKeyPaddingMask()->count())
        throw WhisperError::prefillFailed("The prefilled cache of " + std::to_string(n) +
                                          " positions does not fit the decoder's cache");
    inputs->setPrefillKeyCache(cache->keyCache);
    inputs->setPrefillValueCache(cache->valueCache);
    const auto start = std::find(prompt.begin(), prompt.end(), special.startOfTranscriptToken);
    const int64_t p = start == prompt.end() ? 0 : start - prompt.begin();
    updateKVCache(*inputs->keyCache(), *cache->keyCache, *inputs->valueCache(), *cache->valueCache, p);
    inputs->cacheLength()->setValue(0, static_cast<double>(n));
    for (int64_t j = 0; j <= n; ++j) {
        inputs->kvCacheUpdateMask()->setValue(j, 0);
        inputs->decoderKeyPaddingMask()->setValue(j, 0);
    }
    inputs->kvCacheUpdateMask()->setValue(n, 1);
    return inputs;
}

std::optional<DecodingCache> TextDecoding::prefillKVCache(MLMultiArrayRef withTask, MLMultiArrayRef andLanguage) {
    TextDecoderCachePrefillInput input(std::move(withTask), std::move(andLanguage));
    const auto holder = prefillData();
    const auto model = holder ? holder->model() : nullptr;
    if (!model) return std::nullopt;
    foundation::checkCancellation();
    const auto output = pellux::asyncPrediction(*model, input);
    auto array = [&](const char* name) {
        const auto value = output->featureValue(name);
        return value ? value->multiArrayValue() : nullptr;
    };
    return DecodingCache{array("key_cache_prefill"), array("value_cache_prefill"), nullptr};
}

std::vector<DecodingResult> TextDecoding::decodeTextResults(MLMultiArrayRef from, std::shared_ptr<DecodingInputs> using_,
                                                            TokenSampling& sampler, const DecodingOptions& options,
                                                            const TranscriptionCallback& callback) {
    return {decodeText(std::move(from), std::move(using_), sampler, options, callback)};
}

std::vector<DecodingResult> TextDecoding::detectLanguageResults(MLMultiArrayRef from, std::shared_ptr<DecodingInputs> using_,
                                                                TokenSampling& sampler, const DecodingOptions& options,
                                                                Float16 temperature) {
    return {detectLanguage(std::move(from), std::move(using_), sampler, options, temperature)};
}

void TextDecoding::updateKVCache(MLMultiArray& keyTensor, const MLMultiArray& keySlice, MLMultiArray& valueTensor,
                                 const MLMultiArray& valueSlice, int64_t insertAtIndex) {
    if (!isHalfPrecision(keyTensor) || !isHalfPrecision(keySlice) || !isHalfPrecision(valueTensor) ||
        !isHalfPrecision(valueSlice))
        throw WhisperError::decodingFailed("Key and value caches must be half precision");
    const auto& keyShape = keyTensor.shape();
    const auto& sliceShape = keySlice.shape();
    if (keyShape.size() != 4 || sliceShape.size() != 4 || valueTensor.shape() != keyShape ||
        valueSlice.shape() != sliceShape)
        throw WhisperError::decodingFailed("Key and value caches must be [1, E, 1, positions] arrays of matching shapes");
    const int64_t rows = keyShape[1];
    const int64_t positions = sliceShape[3];
    if (sliceShape[1] < rows || insertAtIndex < 0 || insertAtIndex + positions > keyShape[3])
        throw WhisperError::decodingFailed("A cache slice of " + std::to_string(positions) + " positions at " +
                                           std::to_string(insertAtIndex) + " does not fit a cache of " +
                                           std::to_string(keyShape[3]));

    const auto& keyStrides = keyTensor.strides();
    const auto& valueStrides = valueTensor.strides();
    const auto& sliceStrides = keySlice.strides();  // both slices share one layout
    Float16* keys = keyTensor.data<Float16>();
    Float16* values = valueTensor.data<Float16>();
    const Float16* keySource = keySlice.data<Float16>();
    const Float16* valueSource = valueSlice.data<Float16>();
    // A step moves one element per row (a few thousand in all): a plain loop beats any thread hand-off.
    for (int64_t a = 0; a < rows; ++a) {
        for (int64_t i = 0; i < positions; ++i) {
            const int64_t from = a * sliceStrides[1] + i * sliceStrides[3];
            keys[a * keyStrides[1] + (insertAtIndex + i) * keyStrides[3]] = keySource[from];
            values[a * valueStrides[1] + (insertAtIndex + i) * valueStrides[3]] = valueSource[from];
        }
    }
}

void TextDecoding::updateAlignmentWeights(MLMultiArray& alignmentTensor, const MLMultiArray& alignmentSlice,
                                          int64_t insertAtIndex) {
    if (!isHalfPrecision(alignmentTensor) || !isHalfPrecision(alignmentSlice))
        throw WhisperError::decodingFailed("Alignment weights must be half precision");
    const auto& shape = alignmentTensor.shape();
    const auto& sliceShape = alignmentSlice.shape();
    const int64_t row = insertAtIndex + 1;
    if (shape.size() != 2 || sliceShape.size() < 2 || sliceShape[1] < shape[1] || row < 0 || row >= shape[0])
        throw WhisperError::decodingFailed("Alignment weights for position " + std::to_string(insertAtIndex) +
                                           " do not fit the alignment tensor");
    const auto& strides = alignmentTensor.strides();
    const auto& sliceStrides = alignmentSlice.strides();
    Float16* target = alignmentTensor.data<Float16>();
    const Float16* source = alignmentSlice.data<Float16>();
    for (int64_t i = 0; i < shape[1]; ++i) target[row * strides[0] + i * strides[1]] = source[i * sliceStrides[1]];
}

}  // namespace lexiphonic
