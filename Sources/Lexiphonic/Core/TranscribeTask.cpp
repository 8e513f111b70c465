#include "Lexiphonic/Core/TranscribeTask.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/Text/TokenSampler.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/Logging.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace lexiphonic {

using pellux::Logging;

namespace {

constexpr int64_t kSampleRate = 16000;
constexpr int64_t kMaxFallbackCount = 100;

// The run-level clock: absolute seconds.
double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Seconds since a stage's start.
class Stopwatch {
public:
    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Closes a signpost interval on every way out of a scope.
class SignpostScope {
public:
    explicit SignpostScope(std::string_view name)
        : name_(name), interval_(beginSignpost(name, LogCategories::TranscribeTask::signposter())) {}
    ~SignpostScope() { endSignpost(name_, interval_, LogCategories::TranscribeTask::signposter()); }
    SignpostScope(const SignpostScope&) = delete;
    SignpostScope& operator=(const SignpostScope&) = delete;

private:
    std::string_view name_;
    SignpostIntervalState interval_;
};

// A sample count from seconds: truncated, NaN as 0, and bounded to the integer range.
int64_t samplesFromSeconds(float seconds) {
    float samples = seconds * static_cast<float>(kSampleRate);
    if (std::isnan(samples)) return 0;
    if (samples >= 9.2e18f) return std::numeric_limits<int64_t>::max();
    if (samples <= -9.2e18f) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(samples);
}

std::string promptTexts(const DecodingInputsType& inputs, const WhisperTokenizer& tokenizer) {
    std::vector<std::string> texts;
    for (int64_t id : inputs.initialPrompt()) texts.push_back(tokenizer.convertIdToToken(id).value_or(""));
    return pellux::detail::logDescription(texts);
}

std::string describeClips(const std::vector<SeekClip>& clips) {
    std::string out = "[";
    for (size_t i = 0; i < clips.size(); ++i) {
        if (i > 0) out += ", ";
        out += "(start: " + std::to_string(clips[i].start) + ", end: " + std::to_string(clips[i].end) + ")";
    }
    return out + "]";
}

std::string describeTemperatures(const std::vector<coreml::Float16>& temperatures) {
    std::vector<float> values;
    for (coreml::Float16 t : temperatures) values.push_back(static_cast<float>(t));
    return pellux::detail::logDescription(values);
}

// Spaces and tabs only: a line break the model wrote stays.
std::string trimSpacesAndTabs(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<foundation::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : std::make_shared<foundation::Progress>()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

void TranscribeTask::windowPreprocess(const AudioProcessorOutputType&, int64_t, int64_t) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(int64_t, int64_t,
                                                                    std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

void TranscribeTask::publishCounters() {
    std::lock_guard lock(counters_->mutex);
    counters_->totalDecodingWindows = timings_.totalDecodingWindows;
    counters_->totalDecodingFallbacks = timings_.totalDecodingFallbacks;
}

std::vector<coreml::Float16> TranscribeTask::fallbackTemperatures(float temperature, float increment,
                                                                  int64_t fallbackCount) {
    std::vector<coreml::Float16> temperatures;
    // Past a few dozen attempts the temperature no longer changes anything but the run's length.
    int64_t count = std::clamp<int64_t>(fallbackCount, 0, kMaxFallbackCount);
    for (int64_t i = 0; i <= count; ++i) {
        auto product = static_cast<coreml::Float16>(static_cast<coreml::Float16>(static_cast<float>(i)) *
                                                    static_cast<coreml::Float16>(increment));
        temperatures.push_back(static_cast<coreml::Float16>(static_cast<coreml::Float16>(temperature) + product));
    }
    return temperatures;
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(std::span<const float> audioArray,
                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                         const TranscriptionCallback& callback) {
    SignpostScope transcribeInterval("TranscribeAudio");
    if (!tokenizer_) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const WhisperTokenizer& tokenizer = *tokenizer_;
    const SpecialTokens& special = tokenizer.specialTokens();

    timings_.pipelineStart = std::min(timings_.pipelineStart, now());
    Logging::debug("Starting pipeline at: " + foundation::formatISO8601(std::chrono::system_clock::now()));

    DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    options.verbose = Logging::shared().logLevel() != Logging::LogLevel::none;

    const auto sampleCount = static_cast<int64_t>(audioArray.size());
    std::optional<std::string> detectedLanguage;
    double clipStart = options.clipTimestamps.empty() ? 0.0 : static_cast<double>(options.clipTimestamps.front());
    timings_.inputAudioSeconds = static_cast<double>(sampleCount) / kSampleRate - clipStart;
    std::vector<int64_t> allTokens;
    std::vector<TranscriptionSegment> allSegments;

    Stopwatch initWatch;
    std::shared_ptr<DecodingInputsType> decoderInputs =
        textDecoder_->prepareDecoderInputs({special.startOfTranscriptToken});
    timings_.decodingInit = initWatch.elapsed();
    Logging::debug("Decoder init time: " + foundation::formatDouble(timings_.decodingInit));

    Stopwatch prefillWatch;
    if (options.usePrefillPrompt) decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, options);
    const auto prefilledCacheSize = static_cast<int64_t>(decoderInputs->cacheLength()->value(0));
    timings_.prefill = prefillWatch.elapsed();
    Logging::debug("Prefill time: " + foundation::formatDouble(timings_.prefill));
    Logging::debug("Prefill prompt: " + promptTexts(*decoderInputs, tokenizer));

    std::vector<SeekClip> seekClips = options.prepareSeekClips(sampleCount);
    Logging::debug("Decoding seek clips: " + describeClips(seekClips));
    // A clip reaching outside the audio is cut to it, so no window has a negative size.
    for (SeekClip& clip : seekClips) {
        clip.start = std::clamp<int64_t>(clip.start, 0, sampleCount);
        clip.end = std::clamp<int64_t>(clip.end, clip.start, sampleCount);
    }

    int64_t totalUnits = 0;
    for (const SeekClip& clip : seekClips) totalUnits += clip.end - clip.start;
    progress_->setTotalUnitCount(totalUnits);
    const double loopStart = now();

    const int64_t windowPadding = std::max<int64_t>(samplesFromSeconds(options.windowClipTime), 0);
    const int64_t windowSamples = std::max<int64_t>(featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples), 1);
    std::weak_ptr<WindowCounters> weakCounters = counters_;
    publishCounters();

    for (const SeekClip& clip : seekClips) {
        const int64_t clipBase = progress_->completedUnitCount();
        int64_t seek = clip.start;
        while (seek < clip.end - windowPadding) {
            const int64_t segmentSize = std::min({clip.end - seek, sampleCount - seek, windowSamples});
            const int64_t windowEnd = seek + segmentSize;
            const float seekSeconds = static_cast<float>(seek) / kSampleRate;
            const float windowEndSeconds = static_cast<float>(windowEnd) / kSampleRate;
            Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + foundation::format("%.2f", seekSeconds) + "s)");
            Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                           foundation::format("%.2f", static_cast<double>(windowEndSeconds - seekSeconds)) + "s)");

            Stopwatch audioWatch;
            std::shared_ptr<AudioProcessorOutputType> audioSamples =
                audioProcessor_->padOrTrim(audioArray.subspan(static_cast<size_t>(seek), static_cast<size_t>(segmentSize)),
                                           0, windowSamples);
            if (!audioSamples) throw WhisperError::transcriptionFailed("Audio samples are nil");
            windowPreprocess(*audioSamples, seek, segmentSize);
            timings_.audioProcessing += audioWatch.elapsed();
            timings_.totalAudioProcessingRuns += 1;
            foundation::checkCancellation();

            Stopwatch melWatch;
            auto melOutput = featureExtractor_->logMelSpectrogram(audioSamples, foundation::currentStopToken());
            if (!melOutput) throw WhisperError::transcriptionFailed("Mel output is nil");
            timings_.logmels += melWatch.elapsed();
            timings_.totalLogmelRuns += 1;
            foundation::checkCancellation();

            Stopwatch encoderWatch;
            auto encoderOutput = audioEncoder_->encodeFeatures(melOutput, foundation::currentStopToken());
            if (!encoderOutput) throw WhisperError::transcriptionFailed("Encoder output is nil");
            timings_.encoding += encoderWatch.elapsed();
            timings_.totalEncodingRuns += 1;

            Logging::info("Decoding " + foundation::format("%.2f", seekSeconds) + "s - " +
                          foundation::format("%.2f", windowEndSeconds) + "s");

            TranscriptionCallback windowCallback;
            if (callback) {
                windowCallback = [weakCounters, callback](const TranscriptionProgress& progress) -> std::optional<bool> {
                    auto counters = weakCounters.lock();
                    if (!counters) return std::nullopt;
                    TranscriptionProgress copy = progress;
                    {
                        std::lock_guard lock(counters->mutex);
                        copy.windowId = static_cast<int64_t>(counters->totalDecodingWindows - counters->totalDecodingFallbacks);
                    }
                    return callback(copy);
                };
            }

            foundation::checkCancellation();
            DecodingResult decodingResult = decodeWithFallback(encoderOutput, options, windowCallback, decoderInputs,
                                                               prefilledCacheSize, detectedLanguage);

            Stopwatch windowingWatch;
            auto [seekPoint, windowSegments] = segmentSeeker_->findSeekPointAndSegments(
                decodingResult, options, static_cast<int64_t>(allSegments.size()), seek, segmentSize, kSampleRate,
                special.timeTokenBegin, special.specialTokenBegin, tokenizer);
            int64_t newSeek = std::max(seek, seekPoint);

            if (options.wordTimestamps && decodingResult.cache && decodingResult.cache->alignmentWeights) {
                Stopwatch wordWatch;
                auto withWords = segmentSeeker_->addWordTimestamps(
                    windowSegments.value_or(std::vector<TranscriptionSegment>{}), *decodingResult.cache->alignmentWeights,
                    tokenizer, seek, segmentSize, Constants::defaultPrependPunctuations,
                    Constants::defaultAppendPunctuations,
                    static_cast<float>(static_cast<double>(seek) / kSampleRate), options, timings_);
                timings_.decodingWordTimestamps += wordWatch.elapsed();
                timings_.totalTimestampAlignmentRuns += 1;
                if (!withWords) {
                    windowSegments.reset();
                } else {
                    std::vector<TranscriptionSegment> kept;
                    for (auto& segment : *withWords) {
                        if (segment.start < segment.end) kept.push_back(std::move(segment));
                    }
                    windowSegments = std::move(kept);
                    if (!windowSegments->empty()) {
                        newSeek = std::max(newSeek, samplesFromSeconds(windowSegments->back().end));
                    }
                }
                if (options.verbose) {
                    Logging::debug("Word timestamps:");
                    for (const auto& segment : windowSegments.value_or(std::vector<TranscriptionSegment>{})) {
                        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
                            Logging::debug("[" + foundation::format("%.3g", static_cast<double>(word.start)) + " -> " +
                                           foundation::format("%.3g", static_cast<double>(word.end)) +
                                           "] prob: " + foundation::formatFloat(word.probability) + ", word: " + word.word);
                        }
                    }
                }
            }

            if (options.maxWindowSeek) {
                const int64_t limit = std::clamp<int64_t>(*options.maxWindowSeek, 0, std::numeric_limits<int64_t>::max() - seek);
                newSeek = std::min(newSeek, seek + limit);
            }
            // A window whose tokens do not move the seek would be decoded again and again: move past it.
            if (newSeek <= seek) newSeek = windowEnd;

            if (windowSegments) {
                std::vector<TranscriptionSegment> segments = windowPostProcess(seek, segmentSize, std::move(*windowSegments));
                if (options.verbose) {
                    Logging::debug("Segments for window:");
                    for (const auto& segment : segments) {
                        Logging::debug("[" + foundation::format("%.2f", static_cast<double>(segment.start)) + " --> " +
                                       foundation::format("%.2f", static_cast<double>(segment.end)) + "] " + segment.text);
                    }
                }
                if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(segments);
                for (auto& segment : segments) {
                    allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
                    allSegments.push_back(std::move(segment));
                }
                timings_.decodingWindowing += windowingWatch.elapsed();
                timings_.totalDecodingWindows += 1;
                publishCounters();
            }
            // Every window, with segments or without, leaves the inputs as prefilled and reports its
            // progress, so the next window's token loop starts at the prompt.
            decoderInputs->reset(prefilledCacheSize, options.sampleLength);
            progress_->setCompletedUnitCount(clipBase + std::min(clip.end, newSeek) - clip.start);

            seek = newSeek;
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    timings_.decodingLoop = now() - loopStart;
    timings_.fullPipeline = now() - timings_.pipelineStart;
    return finalizeTranscriptionResult(allTokens, allSegments, detectedLanguage, timings_);
}

DecodingResult TranscribeTask::decodeWithFallback(const MLMultiArrayRef& encoderSegment, const DecodingOptions& options,
                                                  const TranscriptionCallback& callback,
                                                  std::shared_ptr<DecodingInputsType>& decoderInputs,
                                                  int64_t prefilledCacheSize,
                                                  std::optional<std::string>& detectedLanguage) {
    SignpostScope decodeInterval("Decode");
    const WhisperTokenizer& tokenizer = *tokenizer_;
    std::vector<coreml::Float16> temperatures = fallbackTemperatures(
        options.temperature, options.temperatureIncrementOnFallback, options.temperatureFallbackCount);
    Logging::debug("Decoding with temperatures " + describeTemperatures(temperatures));

    std::optional<DecodingResult> result;
    for (size_t i = 0; i < temperatures.size(); ++i) {
        const coreml::Float16 temperature = temperatures[i];
        Logging::info("Decoding Temperature: " + foundation::formatFloat(static_cast<float>(temperature)));
        Stopwatch attemptWatch;
        GreedyTokenSampler sampler(temperature, tokenizer.specialTokens().endToken, options);
        DecodingOptions attemptOptions = options;

        if (textDecoder_->isModelMultilingual() && !options.language && options.detectLanguage) {
            std::optional<DecodingResult> detection;
            try {
                detection = textDecoder_->detectLanguage(encoderSegment, decoderInputs, sampler, options, temperature);
            } catch (const foundation::CancellationError&) {
                throw;
            } catch (...) {
                // A failed detection counts as no detection.
            }
            attemptOptions.language = detection ? std::optional<std::string>(detection->language) : std::nullopt;
            detectedLanguage = attemptOptions.language;
            if (options.usePrefillPrompt) {
                decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, attemptOptions);
            }
            Logging::debug("Prefill prompt updated to: " + promptTexts(*decoderInputs, tokenizer));
            if (detection && detection->timings) {
                timings_.decodingPredictions += detection->timings->decodingPredictions;
                timings_.decodingSampling += detection->timings->decodingSampling;
            }
        }

        result = textDecoder_->decodeText(encoderSegment, decoderInputs, sampler, attemptOptions, callback);
        if (!detectedLanguage) detectedLanguage = result->language;

        if (result->timings) {
            const TranscriptionTimings& t = *result->timings;
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, t.firstTokenTime);
            timings_.decodingPredictions += t.decodingPredictions;
            timings_.totalDecodingLoops += t.totalDecodingLoops;
            timings_.decodingNonPrediction += t.decodingNonPrediction;
            timings_.decodingFiltering += t.decodingFiltering;
            timings_.decodingSampling += t.decodingSampling;
            timings_.decodingKvCaching += t.decodingKvCaching;
            timings_.totalKVUpdateRuns += t.totalKVUpdateRuns;
        }

        if (result->fallback && result->fallback->needsFallback) {
            timings_.decodingFallback += attemptWatch.elapsed();
            timings_.totalDecodingFallbacks = static_cast<double>(i);
            publishCounters();
            decoderInputs->reset(prefilledCacheSize, options.sampleLength);
            Logging::info("Fallback #" + std::to_string(i + 1) + " (" + result->fallback->fallbackReason + ")");
            continue;
        }
        break;
    }
    if (!result) throw WhisperError::decodingFailed("Decoding failed");
    return std::move(*result);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<int64_t>& tokens, const std::vector<TranscriptionSegment>& segments,
    const std::optional<std::string>& language, const TranscriptionTimings& timings) {
    const int64_t specialTokenBegin = tokenizer_->specialTokens().specialTokenBegin;
    std::vector<int64_t> textTokens;
    textTokens.reserve(tokens.size());
    for (int64_t token : tokens) {
        if (token < specialTokenBegin) textTokens.push_back(token);
    }
    std::string text = trimSpacesAndTabs(tokenizer_->decode(textTokens));
    return std::make_shared<TranscriptionResult>(std::move(text), segments,
                                                 language.value_or(std::string(Constants::defaultLanguageCode)), timings);
}

}  // namespace lexiphonic
