#include "Lexiphonic/Core/Audio/AudioStreamTranscriber.hpp"

#include <chrono>

#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Utilities/TextUtilities.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic {

using pellux::Logging;

namespace {

constexpr const char* kWaiting = "Waiting for speech...";

std::string describeError(const std::exception& error) {
    if (auto* e = dynamic_cast<const foundation::Error*>(&error)) return e->localizedDescription();
    return error.what();
}

// Whether `run` occurs in `segments` as a contiguous stretch of equal segments.
bool containsRun(const std::vector<TranscriptionSegment>& segments, const std::vector<TranscriptionSegment>& run) {
    if (run.empty() || run.size() > segments.size()) return run.empty();
    return std::search(segments.begin(), segments.end(), run.begin(), run.end()) != segments.end();
}

}  // namespace

AudioStreamTranscriber::AudioStreamTranscriber(Params params)
    : stateChangeCallback_(std::move(params.stateChangeCallback)),
      requiredSegmentsForConfirmation_(std::max<int64_t>(params.requiredSegmentsForConfirmation, 0)),
      useVAD_(params.useVAD),
      silenceThreshold_(params.silenceThreshold),
      compressionCheckWindow_(params.compressionCheckWindow),
      transcribeTask_(std::make_shared<TranscribeTask>(TranscriptionTimings(), nullptr, params.audioProcessor,
                                                       params.audioEncoder, params.featureExtractor, params.segmentSeeker,
                                                       params.textDecoder, params.tokenizer)),
      audioProcessor_(std::move(params.audioProcessor)),
      decodingOptions_(std::move(params.decodingOptions)),
      requestRecordPermission_(std::move(params.requestRecordPermission)) {}

AudioStreamTranscriber::~AudioStreamTranscriber() = default;

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void AudioStreamTranscriber::modifyState(const std::function<void(State&)>& change) {
    State oldState, newState;
    {
        std::lock_guard lock(mutex_);
        oldState = state_;
        change(state_);
        newState = state_;
    }
    wake_.notify_all();
    if (stateChangeCallback_) stateChangeCallback_(oldState, newState);
}

void AudioStreamTranscriber::startStreamTranscription() {
    {
        std::lock_guard lock(mutex_);
        if (state_.isRecording) return;
    }
    const bool granted = requestRecordPermission_ ? requestRecordPermission_() : AudioProcessor::requestRecordPermission();
    if (!granted) {
        Logging::error("Microphone access was not granted.");
        return;
    }
    // A new recording starts empty, so everything measured against the old one starts over too.
    modifyState([](State& s) {
        s = State();
        s.isRecording = true;
    });
    std::weak_ptr<AudioStreamTranscriber> weakSelf = weak_from_this();
    try {
        audioProcessor_->startRecordingLive(std::nullopt, [weakSelf](const std::vector<float>&) {
            if (auto self = weakSelf.lock()) self->onAudioBufferCallback();
        });
    } catch (...) {
        modifyState([](State& s) { s.isRecording = false; });
        throw;
    }
    Logging::info("Realtime transcription has started");

    while (state().isRecording) {
        try {
            transcribeCurrentBuffer();
        } catch (const std::exception& error) {
            Logging::error("Error: " + describeError(error));
            break;
        }
    }
}

void AudioStreamTranscriber::stopStreamTranscription() {
    modifyState([](State& s) { s.isRecording = false; });
    audioProcessor_->stopRecording();
    Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::onAudioBufferCallback() {
    std::vector<float> energy = audioProcessor_->relativeEnergy();
    modifyState([&](State& s) { s.bufferEnergy = std::move(energy); });
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    const auto fallbacks = static_cast<int64_t>(progress.timings.totalDecodingFallbacks);
    State current = state();
    if (foundation::text::characterCount(progress.text) < foundation::text::characterCount(current.currentText)) {
        if (fallbacks == current.currentFallbacks) {
            modifyState([&](State& s) { s.unconfirmedText.push_back(current.currentText); });
        } else {
            Logging::info("Fallback occured: " + std::to_string(fallbacks));
        }
    }
    modifyState([&](State& s) { s.currentText = progress.text; });
    modifyState([&](State& s) { s.currentFallbacks = fallbacks; });
}

void AudioStreamTranscriber::waitForMoreAudio() {
    std::unique_lock lock(mutex_);
    if (state_.currentText.empty()) {
        lock.unlock();
        modifyState([](State& s) { s.currentText = kWaiting; });
        lock.lock();
    }
    // Wakes early when the transcriber is stopped.
    wake_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !state_.isRecording; });
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
    std::lock_guard pass(passMutex_);
    const std::vector<float> samples = audioProcessor_->audioSamples();
    const auto count = static_cast<int64_t>(samples.size());
    const float seconds = static_cast<float>(count - state().lastBufferSize) / 16000.0f;
    if (!(seconds > 1.0f)) {
        waitForMoreAudio();
        return;
    }
    if (useVAD_) {
        const std::vector<float> energy = audioProcessor_->relativeEnergy();
        if (!AudioProcessor::isVoiceDetected(energy, seconds, silenceThreshold_)) {
            Logging::debug("No voice detected, skipping transcribe");
            waitForMoreAudio();
            return;
        }
    }
    modifyState([&](State& s) { s.lastBufferSize = count; });

    std::shared_ptr<TranscriptionResult> result = transcribeAudioSamples(samples);

    modifyState([](State& s) { s.currentText.clear(); });
    modifyState([](State& s) { s.unconfirmedText.clear(); });

    const std::vector<TranscriptionSegment> segments = result->segments();
    const auto required = static_cast<size_t>(requiredSegmentsForConfirmation_);
    if (segments.size() > required) {
        const auto split = segments.end() - static_cast<std::ptrdiff_t>(required);
        std::vector<TranscriptionSegment> confirmed(segments.begin(), split);
        std::vector<TranscriptionSegment> remaining(split, segments.end());
        if (!confirmed.empty() && confirmed.back().end > state().lastConfirmedSegmentEndSeconds) {
            const float end = confirmed.back().end;
            modifyState([&](State& s) { s.lastConfirmedSegmentEndSeconds = end; });
            if (!containsRun(state().confirmedSegments, confirmed)) {
                modifyState([&](State& s) {
                    s.confirmedSegments.insert(s.confirmedSegments.end(), confirmed.begin(), confirmed.end());
                });
            }
        }
        modifyState([&](State& s) { s.unconfirmedSegments = remaining; });
    } else {
        modifyState([&](State& s) { s.unconfirmedSegments = segments; });
    }
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(const std::vector<float>& samples) {
    DecodingOptions options = decodingOptions_;
    options.clipTimestamps = {state().lastConfirmedSegmentEndSeconds};
    std::weak_ptr<AudioStreamTranscriber> weakSelf = weak_from_this();
    const int64_t checkWindow = compressionCheckWindow_;
    return transcribeTask_->run(samples, options, [weakSelf, options, checkWindow](const TranscriptionProgress& progress) {
        if (auto self = weakSelf.lock()) self->onProgressCallback(progress);
        return shouldStopEarly(progress, options, checkWindow);
    });
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                                            int64_t compressionCheckWindow) {
    // Without a threshold there is nothing to measure against: every window would stop at once.
    if (options.compressionRatioThreshold && compressionCheckWindow >= 0 &&
        static_cast<int64_t>(progress.tokens.size()) > compressionCheckWindow) {
        std::vector<int64_t> tail(progress.tokens.end() - compressionCheckWindow, progress.tokens.end());
        if (TextUtilities::compressionRatio(tail) > *options.compressionRatioThreshold) return false;
    }
    if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) return false;
    return std::nullopt;
}

}  // namespace lexiphonic
