#pragma once
// The window loop: one array of 16 kHz mono samples to one transcription result. Each window is
// padded to the model window, turned into mel features and encoder embeddings, decoded (hotter on
// each fallback), cut into segments (with word timings when asked) and the seek moves on. The task
// owns no model; it drives the stages it is given and may run any number of times.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Lexiphonic/Core/AudioEncoding.hpp"
#include "Lexiphonic/Core/AudioProcessing.hpp"
#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/FeatureExtracting.hpp"
#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/SegmentSeeking.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "Lexiphonic/Core/TextDecoding.hpp"
#include "Platform/Foundation/Progress.hpp"

namespace lexiphonic {

using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

class TranscribeTask {
public:
    // A missing progress object or audio processor is replaced by a new one.
    TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<foundation::Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;
    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    TranscriptionTimings timings() const { return timings_; }
    void setTimings(TranscriptionTimings value) { timings_ = value; }
    const std::shared_ptr<WhisperTokenizer>& tokenizer() const { return tokenizer_; }
    void setTokenizer(std::shared_ptr<WhisperTokenizer> value) { tokenizer_ = std::move(value); }
    const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback value) { segmentDiscoveryCallback_ = std::move(value); }
    const std::shared_ptr<foundation::Progress>& progress() const { return progress_; }

    // Called with each padded window before its mel features are computed; does nothing by default.
    virtual void windowPreprocess(const AudioProcessorOutputType& window, int64_t seek, int64_t segmentSize);
    // The window's segments as they are reported and kept; unchanged by default.
    virtual std::vector<TranscriptionSegment> windowPostProcess(int64_t seek, int64_t segmentSize,
                                                                std::vector<TranscriptionSegment> originalSegments);
    // Transcribes the samples window by window. No options: the defaults. `verbose` always follows the
    // shared log level. The callback sees each decoding step (its windowId set here); false stops the
    // window early. Throws the stages' errors, WhisperError::transcriptionFailed when a stage gives
    // nothing, and foundation::CancellationError when the current job is cancelled.
    virtual std::shared_ptr<TranscriptionResult> run(std::span<const float> audioArray,
                                                     const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                     const TranscriptionCallback& callback = {});
    // One decode of all text tokens (special and timestamp tokens left out), trimmed of spaces and tabs.
    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
        const std::vector<int64_t>& tokens, const std::vector<TranscriptionSegment>& segments,
        const std::optional<std::string>& language, const TranscriptionTimings& timings);

    // The temperatures of the attempts: temperature + i * increment in half precision, for i = 0 ...
    // fallbackCount (a negative count gives the one attempt at `temperature`; at most 100 fallbacks).
    static std::vector<coreml::Float16> fallbackTemperatures(float temperature, float increment, int64_t fallbackCount);

private:
    // The two counters the window callback reads while the loop runs; it holds them weakly so that it
    // answers nothing once the task is gone.
    struct WindowCounters {
        std::mutex mutex;
        double totalDecodingWindows = 0;
        double totalDecodingFallbacks = 0;
    };

    DecodingResult decodeWithFallback(const MLMultiArrayRef& encoderSegment, const DecodingOptions& options,
                                      const TranscriptionCallback& callback,
                                      std::shared_ptr<DecodingInputsType>& decoderInputs, int64_t prefilledCacheSize,
                                      std::optional<std::string>& detectedLanguage);
    void publishCounters();

    TranscriptionTimings timings_;
    std::shared_ptr<foundation::Progress> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    std::shared_ptr<WindowCounters> counters_ = std::make_shared<WindowCounters>();
};

}  // namespace lexiphonic
