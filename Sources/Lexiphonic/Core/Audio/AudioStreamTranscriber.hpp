#pragma once
// Transcribes live microphone input while it is recorded: whenever more than a second of new audio
// has arrived (and, with the voice check on, the latest input is loud enough), the recording is
// transcribed again from the end of the last confirmed segment. The trailing segments of a pass stay
// unconfirmed and are transcribed again by the next pass. Every state change is reported.
//
// Its operations run one at a time; the transcription loop runs inside startStreamTranscription()
// on the caller's thread, and stopStreamTranscription() may be called from any other thread.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Lexiphonic/Core/AudioEncoding.hpp"
#include "Lexiphonic/Core/AudioProcessing.hpp"
#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/FeatureExtracting.hpp"
#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/SegmentSeeking.hpp"
#include "Lexiphonic/Core/TextDecoding.hpp"
#include "Lexiphonic/Core/TranscribeTask.hpp"

namespace lexiphonic {

class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
public:
    struct State {
        bool isRecording = false;
        int64_t currentFallbacks = 0;
        int64_t lastBufferSize = 0;
        float lastConfirmedSegmentEndSeconds = 0;
        std::vector<float> bufferEnergy;
        std::string currentText;
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        std::vector<std::string> unconfirmedText;
        bool operator==(const State&) const = default;
    };
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

    struct Params {
        std::shared_ptr<AudioEncoding> audioEncoder;
        std::shared_ptr<FeatureExtracting> featureExtractor;
        std::shared_ptr<SegmentSeeking> segmentSeeker;
        std::shared_ptr<TextDecoding> textDecoder;
        std::shared_ptr<WhisperTokenizer> tokenizer;
        std::shared_ptr<AudioProcessing> audioProcessor;
        DecodingOptions decodingOptions;
        int64_t requiredSegmentsForConfirmation = 2;
        float silenceThreshold = 0.3f;
        int64_t compressionCheckWindow = 60;
        bool useVAD = true;
        StateChangeCallback stateChangeCallback;
        // Whether the microphone may be used; the platform's answer when absent.
        std::function<bool()> requestRecordPermission;
    };

    explicit AudioStreamTranscriber(Params params);
    ~AudioStreamTranscriber();
    AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
    AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

    State state() const;

    // Starts capture and runs the loop until stopStreamTranscription() or a failed pass; returns at once
    // when already recording. Each start begins a new recording with a fresh state. A capture that
    // cannot start is thrown, leaving the transcriber idle.
    void startStreamTranscription();
    void stopStreamTranscription();

    // false asks the decoder to stop the window: a too repetitive tail (only with a compression
    // threshold) or a too low average log-probability.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                               int64_t compressionCheckWindow);

private:
    void modifyState(const std::function<void(State&)>& change);
    void onAudioBufferCallback();
    void onProgressCallback(const TranscriptionProgress& progress);
    void transcribeCurrentBuffer();
    std::shared_ptr<TranscriptionResult> transcribeAudioSamples(const std::vector<float>& samples);
    void waitForMoreAudio();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    State state_;
    StateChangeCallback stateChangeCallback_;
    const int64_t requiredSegmentsForConfirmation_;
    const bool useVAD_;
    const float silenceThreshold_;
    const int64_t compressionCheckWindow_;
    std::shared_ptr<TranscribeTask> transcribeTask_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    const DecodingOptions decodingOptions_;
    std::function<bool()> requestRecordPermission_;
    std::mutex passMutex_;  // one pass at a time
};

}  // namespace lexiphonic
