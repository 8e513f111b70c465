#include "Lexiphonic/Core/TextDecoder.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "Lexiphonic/Core/ModelInputsOutputs.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/Extensions+Public.hpp"
#include "Lexiphonic/Utilities/TextUtilities.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/FoundationExtensions.hpp"
#include "PelluxCore/Logging.hpp"
#include "PelluxCore/MLModelExtensions.hpp"
#include "PelluxCore/ModelUtilities.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/TaskPool.hpp"
#include "Platform/Foundation/UUID.hpp"

namespace lexiphonic {

using coreml::Float16;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;
using Logging = pellux::Logging;
using SteadyClock = std::chrono::steady_clock;

namespace {

// The decoder never runs more steps, nor holds more tokens, than this.
constexpr int64_t kMaxLoopSteps = Constants::maxTokenContext - 1;
// Seconds from 1970 to the platform's reference date, 2001-01-01.
constexpr double kReferenceDateOffset = 978307200.0;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

MLMultiArrayRef outputArray(const coreml::MLFeatureProvider& output, const char* name) {
    const auto value = output.featureValue(name);
    return value ? value->multiArrayValue() : nullptr;
}

std::optional<std::vector<int64_t>> declaredShape(const std::map<std::string, coreml::MLFeatureDescription>& features,
                                                  const std::string& name) {
    const auto found = features.find(name);
    if (found == features.end() || !found->second.multiArrayConstraint) return std::nullopt;
    return found->second.multiArrayConstraint->shape;
}

std::string languageOf(const WhisperTokenizer& tokenizer, int64_t token) {
    return trimmingSpecialTokenCharacters(tokenizer.decode({token}));
}

std::string describeToken(const WhisperTokenizer& tokenizer, int64_t token) {
    return std::to_string(token) + ", text: " + tokenizer.decode({token});
}

// Runs `report` for the callback without ever letting its failure reach the pool thread.
void reportProgress(const std::weak_ptr<pellux::EarlyStopActor>& decoderActor, const TranscriptionCallback& callback,
                    const TranscriptionProgress& progress, const foundation::UUID& key, bool isForcedPosition) {
    const auto actor = decoderActor.lock();
    if (!actor) return;  // the decoder is gone
    try {
        const std::optional<bool> goOn = callback(progress);
        if (goOn.has_value() && !*goOn && !isForcedPosition) {
            Logging::debug("Early stopping");
            actor->set(true, key);
        }
    } catch (const std::exception& error) {
        Logging::error(std::string("Progress callback failed: ") + error.what());
    }
}

}  // namespace

TextDecoder::TextDecoder() : TextDecoder(ProgressExecutor{}) {}

TextDecoder::TextDecoder(ProgressExecutor progressExecutor)
    : progressExecutor_(progressExecutor ? std::move(progressExecutor) : ProgressExecutor([](std::function<void()> job) {
          foundation::TaskPool::shared().post(std::move(job));
      })) {}

// ---- Model dimensions

bool TextDecoder::supportsWordTimestamps() const {
    return pellux::ModelUtilities::getModelOutputDimension(model(), "alignment_heads_weights", 0).has_value();
}
std::optional<int64_t> TextDecoder::logitsSize() const {
    return pellux::ModelUtilities::getModelOutputDimension(model(), "logits", 2);
}
std::optional<int64_t> TextDecoder::kvCacheEmbedDim() const {
    return pellux::ModelUtilities::getModelInputDimension(model(), "key_cache", 1);
}
std::optional<int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
    return pellux::ModelUtilities::getModelInputDimension(model(), "key_cache", 3);
}
std::optional<int64_t> TextDecoder::windowSize() const {
    return pellux::ModelUtilities::getModelInputDimension(model(), "encoder_output_embeds", 3);
}
std::optional<int64_t> TextDecoder::embedSize() const {
    return pellux::ModelUtilities::getModelInputDimension(model(), "encoder_output_embeds", 1);
}

// ---- Loading

void TextDecoder::checkModelContract(const coreml::MLModel& model) {
    const auto& inputs = model.modelDescription().inputDescriptionsByName;
    const auto& outputs = model.modelDescription().outputDescriptionsByName;
    auto refuse = [](const std::string& why) {
        throw WhisperError::modelsUnavailable("TextDecoder model cannot be used: " + why);
    };
    auto isHalf = [](const std::map<std::string, coreml::MLFeatureDescription>& features, const char* name) {
        return features.at(name).multiArrayConstraint->dataType == MLMultiArrayDataType::float16;
    };

    const auto key = declaredShape(inputs, "key_cache");
    if (!key || key->size() != 4 || (*key)[1] < 1) refuse("input \"key_cache\" must be a [1, E, 1, S] multi-array");
    const int64_t E = (*key)[1], S = (*key)[3];
    if (S < Constants::maxTokenContext)
        refuse("its cache holds " + std::to_string(S) + " positions, at least " +
               std::to_string(Constants::maxTokenContext) + " are needed");
    if (declaredShape(inputs, "value_cache") != key) refuse("input \"value_cache\" must have the shape of \"key_cache\"");
    for (const char* mask : {"kv_cache_update_mask", "decoder_key_padding_mask"}) {
        const auto shape = declaredShape(inputs, mask);
        if (!shape || shape->empty() || shape->back() != S || coreml::elementCount(*shape) != S)
            refuse(std::string("input \"") + mask + "\" must hold one entry per cache position (" + std::to_string(S) + ")");
    }
    for (const char* scalar : {"input_ids", "cache_length"}) {
        const auto shape = declaredShape(inputs, scalar);
        if (!shape || coreml::elementCount(*shape) < 1) refuse(std::string("input \"") + scalar + "\" is missing");
    }
    const auto encoder = declaredShape(inputs, "encoder_output_embeds");
    if (!encoder || encoder->size() < 4 || (*encoder)[1] < 1 || (*encoder)[3] < 1)
        refuse("input \"encoder_output_embeds\" must be a [1, width, 1, frames] multi-array");
    const int64_t W = (*encoder)[3];
    const auto logits = declaredShape(outputs, "logits");
    if (!logits || logits->size() != 3 || (*logits)[2] < 1) refuse("output \"logits\" must be a [1, 1, V] multi-array");
    for (const char* update : {"key_cache_updates", "value_cache_updates"}) {
        const auto shape = declaredShape(outputs, update);
        if (!shape || shape->size() != 4 || (*shape)[1] != E || !isHalf(outputs, update))
            refuse(std::string("output \"") + update + "\" must be a half-precision [1, " + std::to_string(E) +
                   ", 1, positions] multi-array");
    }
    if (outputs.contains("alignment_heads_weights")) {
        const auto shape = declaredShape(outputs, "alignment_heads_weights");
        if (!shape || shape->size() < 2 || (*shape)[1] != W || !isHalf(outputs, "alignment_heads_weights"))
            refuse("its alignment weights must cover the encoder output's " + std::to_string(W) + " frames");
    }
}

void TextDecoder::loadModel(const std::filesystem::path& at, coreml::MLComputeUnits computeUnits, bool prewarmMode) {
    coreml::MLModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    auto loaded = coreml::MLModel::load(at, configuration);
    checkModelContract(*loaded);
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

std::shared_ptr<coreml::MLModel> TextDecoder::model() const {
    std::lock_guard guard(modelMutex_);
    return model_;
}

void TextDecoder::setModel(std::shared_ptr<coreml::MLModel> model) {
    std::lock_guard guard(modelMutex_);
    model_ = std::move(model);
}

std::shared_ptr<WhisperMLModel> TextDecoder::prefillData() const {
    std::lock_guard guard(modelMutex_);
    return prefillData_;
}

void TextDecoder::setPrefillData(std::shared_ptr<WhisperMLModel> prefillData) {
    std::lock_guard guard(modelMutex_);
    prefillData_ = std::move(prefillData);
}

void TextDecoder::unloadModel() {
    {
        std::lock_guard guard(modelMutex_);
        model_.reset();
        prefillData_.reset();
    }
    std::lock_guard guard(languageFilterMutex_);
    languageLogitsFilter_.reset();
}

// ---- Prediction

std::optional<TextDecoder::Prediction> TextDecoder::predictLogits(MLMultiArrayRef inputIds, MLMultiArrayRef cacheLength,
                                                                  MLMultiArrayRef keyCache, MLMultiArrayRef valueCache,
                                                                  MLMultiArrayRef kvCacheUpdateMask,
                                                                  MLMultiArrayRef encoderOutputEmbeds,
                                                                  MLMultiArrayRef decoderKeyPaddingMask) {
    const auto model = this->model();
    if (!model) return std::nullopt;
    TextDecoderInput input(std::move(inputIds), std::move(cacheLength), std::move(keyCache), std::move(valueCache),
                           std::move(kvCacheUpdateMask), std::move(encoderOutputEmbeds), std::move(decoderKeyPaddingMask));
    foundation::checkCancellation();
    const auto output = pellux::asyncPrediction(*model, input);
    return Prediction{outputArray(*output, "logits"),
                      DecodingCache{outputArray(*output, "key_cache_updates"), outputArray(*output, "value_cache_updates"),
                                    outputArray(*output, "alignment_heads_weights")}};
}

std::shared_ptr<TextDecoderOutputType> TextDecoder::predictLogits(const TextDecoderInputType& input) {
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&input);
    if (!arrays) throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    auto prediction = predictLogits(arrays->inputIds, arrays->cacheLength, arrays->keyCache, arrays->valueCache,
                                    arrays->kvCacheUpdateMask, arrays->encoderOutputEmbeds, arrays->decoderKeyPaddingMask);
    if (!prediction) return std::make_shared<TextDecoderMLMultiArrayOutputType>();
    return std::make_shared<TextDecoderMLMultiArrayOutputType>(std::move(prediction->logits), std::move(prediction->cache));
}

// ---- Filters and the debug table

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(const DecodingOptions& options,
                                                                               int64_t prefilledIndex,
                                                                               int64_t initialPromptIndex,
                                                                               const WhisperTokenizer& tokenizer) const {
    (void)prefilledIndex;
    std::vector<std::shared_ptr<LogitsFiltering>> filters = logitsFilters_.value_or(std::vector<std::shared_ptr<LogitsFiltering>>{});
    const SpecialTokens& special = tokenizer.specialTokens();
    if (options.suppressBlank) {
        // The first sampled position is where the token list holds the whole prompt. (The prefilled
        // cache length never equals that count, so a filter keyed to it would never act.)
        filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    }
    if (!options.supressTokens.empty()) {
        std::vector<int64_t> ids;
        for (int64_t id : options.supressTokens)
            if (id < special.specialTokenBegin) ids.push_back(id);
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(ids)));
    }
    if (!options.withoutTimestamps) {
        std::optional<int64_t> maxInitialTimestampIndex;
        if (options.maxInitialTimestamp) {
            // Outside the integer range (or NaN) the cap means nothing; no rule reads it either way.
            const double index = std::trunc(static_cast<double>(*options.maxInitialTimestamp) / 0.02);
            if (std::isfinite(index) && std::abs(index) < 0x1.0p62) maxInitialTimestampIndex = static_cast<int64_t>(index);
        }
        filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex, maxInitialTimestampIndex,
                                                                 isModelMultilingual_));
    }
    return filters;
}

void TextDecoder::debugCaches(const DecodingInputs& decoderInputs, int64_t tokenIndex, int64_t prefillSize) const {
    (void)tokenIndex;
    if (!Logging::passes(Logging::LogLevel::debug)) return;
    auto at = [](const MLMultiArrayRef& array, int64_t index) {
        return array && index >= 0 && index < array->count() ? array->value(index) : std::nan("");
    };
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    Logging::debug(foundation::format("Cache Length: %2.0f Input Token: %4.0f", at(decoderInputs.cacheLength(), 0),
                                      at(decoderInputs.inputIds(), 0)));
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    for (int64_t i = 0; i < std::min<int64_t>(prefillSize + 4, Constants::maxTokenContext); ++i) {
        Logging::debug(foundation::format("%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", at(decoderInputs.keyCache(), i),
                                          at(decoderInputs.valueCache(), i), at(decoderInputs.alignmentWeights(), i * 1500),
                                          at(decoderInputs.kvCacheUpdateMask(), i),
                                          at(decoderInputs.decoderKeyPaddingMask(), i), static_cast<int>(i)));
    }
}

// ---- The token loop

DecodingResult TextDecoder::decodeText(MLMultiArrayRef encoderOutput, std::shared_ptr<DecodingInputsType> decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options,
                                       const TranscriptionCallback& callback) {
    const auto tokenizer = tokenizer_;
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    const SpecialTokens& special = tokenizer->specialTokens();
    const auto inputs = std::dynamic_pointer_cast<DecodingInputs>(decoderInputs);

    const std::vector<int64_t> initialPrompt = decoderInputs->initialPrompt();
    if (initialPrompt.empty()) throw WhisperError::decodingFailed("The decoder's initial prompt is empty");
    const int64_t prefilledIndex = std::max<int64_t>(0, static_cast<int64_t>(decoderInputs->cacheLength()->value(0)));
    const int64_t initialPromptIndex = static_cast<int64_t>(initialPrompt.size());
    std::vector<int64_t> tokens = initialPrompt;
    std::vector<float> logProbs(initialPrompt.size(), 0.0f);
    int64_t nextToken = initialPrompt.back();

    const auto filters = createLogitsFilters(options, prefilledIndex, initialPromptIndex, *tokenizer);
    int64_t loopCount = std::min(options.sampleLength, kMaxLoopSteps);
    if (inputs) {
        // A step at t writes cache position t and mask and alignment row t + 1: whatever the step
        // limit, never beyond the arrays these inputs hold.
        auto positions = [](const MLMultiArrayRef& array) { return array && !array->shape().empty() ? array->shape().back() : 0; };
        const int64_t rows = inputs->alignmentWeights() && !inputs->alignmentWeights()->shape().empty()
                                 ? inputs->alignmentWeights()->shape().front()
                                 : 0;
        loopCount = std::min({loopCount, positions(inputs->keyCache()), positions(inputs->valueCache()),
                              positions(inputs->kvCacheUpdateMask()) - 1, positions(inputs->decoderKeyPaddingMask()) - 1,
                              rows - 1});
    }
    Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) + " iterations, starting at index " +
                   std::to_string(prefilledIndex));

    const foundation::UUID windowKey;
    earlyStopActor_->set(false, windowKey);
    struct FlagRemoval {  // a window that throws must not leave its flag behind
        pellux::EarlyStopActor& actor;
        const foundation::UUID& key;
        bool armed = true;
        ~FlagRemoval() {
            if (armed) actor.remove(key);
        }
    } flagRemoval{*earlyStopActor_, windowKey};

    // The first prediction the loop keeps: the steps before it only feed the forced prompt, so their
    // predictions (the language slot, say, without a prefilled prompt) are discarded and judge nothing.
    const int64_t firstSampledIndex = std::max(prefilledIndex, initialPromptIndex - 1);
    bool isFirstTokenLogProbTooLow = false;
    bool hasAlignment = false;
    double firstTokenTime = TranscriptionTimings{}.firstTokenTime;
    TranscriptionTimings timings;
    // The per-step debug lines decode tokens: build them only when they will be written.
    const bool debugging = Logging::passes(Logging::LogLevel::debug);
    auto decode = [&](int64_t token) { return describeToken(*tokenizer, token); };

    for (int64_t tokenIndex = prefilledIndex; tokenIndex < loopCount; ++tokenIndex) {
        const auto stepStart = SteadyClock::now();
        if (tokenIndex < initialPromptIndex) {
            const int64_t promptToken = initialPrompt[static_cast<size_t>(tokenIndex)];
            if (tokenIndex == initialPromptIndex - 1 && promptToken >= special.timeTokenBegin &&
                nextToken >= special.timeTokenBegin) {
                // The model already chose the first timestamp: it takes the prompt's place.
                tokens[static_cast<size_t>(tokenIndex)] = nextToken;
                if (debugging)
                    Logging::debug("Skipping prompt tokenIndex: " + std::to_string(tokenIndex) + ", token: " + decode(nextToken));
            } else {
                nextToken = promptToken;
                if (debugging)
                    Logging::debug("Forcing prompt tokenIndex: " + std::to_string(tokenIndex) + ", token: " + decode(nextToken));
            }
        }

        if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
        inputs->inputIds()->setValue(0, static_cast<double>(nextToken));
        inputs->cacheLength()->setValue(0, static_cast<double>(tokenIndex));
        if (debugging && tokenIndex <= prefilledIndex + 3) debugCaches(*inputs, tokenIndex, prefilledIndex);

        const auto predictionStart = SteadyClock::now();
        if (!encoderOutput) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
        const TextDecoderMLMultiArrayInputType stepInput(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(),
                                                         inputs->valueCache(), inputs->kvCacheUpdateMask(), encoderOutput,
                                                         inputs->decoderKeyPaddingMask());
        const auto output = std::dynamic_pointer_cast<TextDecoderMLMultiArrayOutputType>(predictLogits(stepInput));
        if (!output || !output->logits) throw WhisperError::decodingLogitsFailed("Unable to decode logits");
        const auto predictionEnd = SteadyClock::now();
        timings.decodingPredictions += secondsBetween(predictionStart, predictionEnd);

        MLMultiArrayRef logits = output->logits;
        for (const auto& filter : filters)
            if (auto filtered = filter->filterLogits(logits, tokens)) logits = std::move(filtered);
        const auto filteringEnd = SteadyClock::now();
        timings.decodingFiltering += secondsBetween(predictionEnd, filteringEnd);

        const SamplingResult sampled = sampler.update(tokens, *logits, logProbs);
        if (sampled.tokens.empty() || sampled.logProbs.empty())
            throw WhisperError::decodingFailed("The sampler returned no token");
        nextToken = sampled.tokens.back();
        const float nextLogProb = sampled.logProbs.back();
        if (debugging)
            Logging::debug("Predicted next tokenIndex: " + std::to_string(tokenIndex + 1) + ", token: " + decode(nextToken));
        const auto samplingEnd = SteadyClock::now();
        timings.decodingSampling += secondsBetween(filteringEnd, samplingEnd);

        if (tokenIndex == firstSampledIndex) {
            isFirstTokenLogProbTooLow =
                options.firstTokenLogProbThreshold.has_value() && nextLogProb < *options.firstTokenLogProbThreshold;
        }
        if (sampled.completed || isFirstTokenLogProbTooLow || static_cast<int64_t>(tokens.size()) >= kMaxLoopSteps) {
            timings.decodingLoop += secondsBetween(stepStart, SteadyClock::now());
            timings.totalDecodingLoops += 1;
            break;
        }
        if (tokenIndex >= initialPromptIndex - 1) {
            tokens.push_back(nextToken);
            logProbs.push_back(nextLogProb);
        }

        const auto cachingStart = SteadyClock::now();
        const auto& updates = output->cache;
        if (!updates || !updates->keyCache || !updates->valueCache)
            throw WhisperError::decodingFailed("The decoder model gave no key and value cache updates");
        updateKVCache(*inputs->keyCache(), *updates->keyCache, *inputs->valueCache(), *updates->valueCache, tokenIndex);
        inputs->decoderKeyPaddingMask()->setValue(tokenIndex + 1, 0);
        inputs->kvCacheUpdateMask()->setValue(tokenIndex, 0);
        inputs->kvCacheUpdateMask()->setValue(tokenIndex + 1, 1);
        if (updates->alignmentWeights) {
            updateAlignmentWeights(*inputs->alignmentWeights(), *updates->alignmentWeights, tokenIndex);
            hasAlignment = true;
        }
        timings.decodingKvCaching += secondsBetween(cachingStart, SteadyClock::now());
        timings.totalKVUpdateRuns += 1;

        if (callback) {
            std::vector<int64_t> shown;
            if (options.skipSpecialTokens) {
                for (int64_t token : tokens)
                    if (token < special.specialTokenBegin) shown.push_back(token);
            }
            double sum = 0;
            for (float lp : logProbs) sum += lp;
            TranscriptionTimings progressTimings = timings;
            progressTimings.firstTokenTime = firstTokenTime;
            TranscriptionProgress progress{progressTimings,
                                           tokenizer->decode(options.skipSpecialTokens ? shown : tokens),
                                           tokens,
                                           std::nullopt,
                                           static_cast<float>(sum / static_cast<double>(logProbs.size())),
                                           TextUtilities::compressionRatio(tokens),
                                           0};
            const bool isForcedPosition = tokenIndex < initialPromptIndex - 1;
            progressExecutor_([actor = std::weak_ptr<pellux::EarlyStopActor>(earlyStopActor_), callback,
                               progress = std::move(progress), windowKey, isForcedPosition] {
                reportProgress(actor, callback, progress, windowKey, isForcedPosition);
            });
        }

        const auto stepEnd = SteadyClock::now();
        timings.decodingNonPrediction += secondsBetween(predictionEnd, stepEnd);
        timings.decodingLoop += secondsBetween(stepStart, stepEnd);
        timings.totalDecodingLoops += 1;

        if (tokenIndex == prefilledIndex) {
            const auto now = foundation::SystemClock::shared()->now();
            if (debugging) Logging::debug("Found first token at: " + foundation::formatDate(now, "yyyy-MM-dd HH:mm:ss"));
            firstTokenTime = foundation::timeIntervalSince1970(now) - kReferenceDateOffset;
        }
        if (earlyStopActor_->get(windowKey)) break;
    }

    // ---- The window's result
    flagRemoval.armed = false;
    if (!earlyStopActor_->remove(windowKey))
        Logging::error("Early stop flag not found for window: " + windowKey.uuidString());

    std::optional<DecodingCache> cache;
    if (inputs) cache = DecodingCache{inputs->keyCache(), inputs->valueCache(), hasAlignment ? inputs->alignmentWeights() : nullptr};

    const SamplingResult finalized = sampler.finalize(tokens, logProbs);
    const auto& allTokens = finalized.tokens;
    const auto startIt = std::find(allTokens.begin(), allTokens.end(), special.startOfTranscriptToken);
    const size_t start = startIt == allTokens.end() ? 0 : static_cast<size_t>(startIt - allTokens.begin());
    const auto endIt = std::find(allTokens.begin() + static_cast<std::ptrdiff_t>(std::min(start, allTokens.size())),
                                 allTokens.end(), special.endToken);
    const size_t end = endIt == allTokens.end() ? allTokens.size() : static_cast<size_t>(endIt - allTokens.begin()) + 1;

    DecodingResult result;
    double logProbSum = 0;
    for (size_t i = start; i < end; ++i) {
        const float lp = i < finalized.logProbs.size() ? finalized.logProbs[i] : 0.0f;
        result.tokens.push_back(allTokens[i]);
        result.tokenLogProbs.push_back({{allTokens[i], lp}});
        logProbSum += lp;
    }
    result.avgLogProb = result.tokens.empty() ? 0.0f : static_cast<float>(logProbSum / static_cast<double>(result.tokens.size()));

    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        const auto& languageTokens = tokenizer->allLanguageTokens();
        const auto found = std::find_if(result.tokens.begin(), result.tokens.end(),
                                        [&](int64_t token) { return languageTokens.contains(token); });
        if (found != result.tokens.end()) {
            result.language = languageOf(*tokenizer, *found);
            const auto& entry = result.tokenLogProbs[static_cast<size_t>(found - result.tokens.begin())];
            const auto lp = entry.find(*found);
            result.languageProbs = {{result.language, lp == entry.end() ? 0.0f : lp->second}};
        } else {
            result.language = std::string(Constants::defaultLanguageCode);
            result.languageProbs = {{result.language, 0.0f}};
        }
    }

    std::vector<int64_t> textTokens;
    for (int64_t token : result.tokens)
        if (token < special.specialTokenBegin) textTokens.push_back(token);
    result.compressionRatio = TextUtilities::compressionRatio(textTokens);
    result.temperature = options.temperature;
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler))
        result.temperature = pellux::rounded(static_cast<float>(greedy->temperature), 3);
    result.text = tokenizer->decode(result.tokens);
    Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0;
    result.cache = std::move(cache);
    timings.firstTokenTime = firstTokenTime;
    result.timings = timings;
    result.fallback = DecodingFallback::make(options, isFirstTokenLogProbTooLow, result.noSpeechProb, result.compressionRatio,
                                             result.avgLogProb);
    return result;
}

// ---- Language detection

DecodingResult TextDecoder::detectLanguage(MLMultiArrayRef encoderOutput, std::shared_ptr<DecodingInputsType> decoderInputs,
                                           TokenSampling& sampler, const DecodingOptions& options, Float16 temperature) {
    (void)options, (void)temperature;
    const auto tokenizer = tokenizer_;
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto logitsDim = logitsSize();
    if (!logitsDim) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    const SpecialTokens& special = tokenizer->specialTokens();
    const std::vector<int64_t> tokens{special.startOfTranscriptToken};
    const std::vector<float> logProbs{0.0f};

    std::shared_ptr<LanguageLogitsFilter> filter;
    {
        std::lock_guard guard(languageFilterMutex_);
        if (!languageLogitsFilter_)
            languageLogitsFilter_ = std::make_shared<LanguageLogitsFilter>(tokenizer->allLanguageTokens(), *logitsDim, 0);
        filter = languageLogitsFilter_;
    }

    if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    decoderInputs->inputIds()->setValue(0, static_cast<double>(special.startOfTranscriptToken));
    decoderInputs->cacheLength()->setValue(0, 0);
    const auto start = SteadyClock::now();
    Logging::debug("Detecting language...");

    if (!encoderOutput) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    const auto inputs = std::dynamic_pointer_cast<DecodingInputs>(decoderInputs);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    const TextDecoderMLMultiArrayInputType stepInput(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(),
                                                     inputs->valueCache(), inputs->kvCacheUpdateMask(), encoderOutput,
                                                     inputs->decoderKeyPaddingMask());
    const auto output = std::dynamic_pointer_cast<TextDecoderMLMultiArrayOutputType>(predictLogits(stepInput));
    if (!output || !output->logits) {
        Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }
    const auto predictionEnd = SteadyClock::now();

    auto logits = output->logits;
    if (auto filtered = filter->filterLogits(logits, tokens)) logits = std::move(filtered);
    const auto samplingStart = SteadyClock::now();
    const SamplingResult sampled = sampler.update(tokens, *logits, logProbs);
    const auto samplingEnd = SteadyClock::now();
    if (sampled.tokens.empty()) throw WhisperError::decodingFailed("The sampler returned no token");

    DecodingResult result;
    const auto& languageTokens = tokenizer->allLanguageTokens();
    for (size_t i = 0; i < sampled.tokens.size(); ++i) {
        if (languageTokens.contains(sampled.tokens[i]) && i < sampled.logProbs.size())
            result.languageProbs[languageOf(*tokenizer, sampled.tokens[i])] = sampled.logProbs[i];
    }
    result.language = languageOf(*tokenizer, sampled.tokens.back());
    if (Constants::languageCodes().contains(result.language)) {
        Logging::debug("Detected language: " + result.language);
    } else {
        Logging::error("Detected language " + result.language + " is not supported, defaulting to " +
                       std::string(Constants::defaultLanguageCode));
        result.language = std::string(Constants::defaultLanguageCode);
    }
    TranscriptionTimings timings;
    timings.decodingPredictions = secondsBetween(start, predictionEnd);
    timings.decodingSampling = secondsBetween(samplingStart, samplingEnd);
    result.timings = timings;
    return result;
}

}  // namespace lexiphonic
