#include "Quorvel/Recorder.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel {

Recorder::Recorder(std::shared_ptr<avfoundation::AudioInputBackend> input, PrintLine print)
    : input_(std::move(input)), print_(std::move(print)) {}

Recorder::~Recorder() { tearDown(); }

float Recorder::level(const float* samples, uint32_t count, uint32_t stride) {
    if (count == 0) return 0;
    float sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const float x = samples[static_cast<size_t>(i) * stride];
        sum += x * x;
    }
    const float rms = std::sqrt(sum / static_cast<float>(count));
    if (std::isnan(rms)) return 0;
    return std::min(rms * 8.0f, 1.0f);
}

bool Recorder::startMic() {
    tearDown();
    startFailure_.clear();  // a start without a stop drops the unfinished recording
    auto engine = std::make_unique<avfoundation::AVAudioEngine>(input_);
    auto& input = engine->inputNode();
    const auto format = input.outputFormat(0);
    {
        std::lock_guard lock(bufferLock_);
        audioBuffer_.clear();
    }
    try {
        // The tap is removed before this recorder goes away (stop() and the destructor), so it may
        // hold the recorder itself.
        input.installTap(0, tapBufferSize, format,
                         [this](const std::shared_ptr<avfoundation::AVAudioPCMBuffer>& buffer, const avfoundation::AVAudioTime&) {
                             if (buffer) append(*buffer);
                         });
        engine->prepare();
        engine->start();
    } catch (const std::exception& error) {
        input.removeTap(0);
        startFailure_ = describeError(error);
        print_("[Quorvel] Failed to start recording: " + startFailure_);
        return false;
    }
    engine_ = std::move(engine);
    format_ = format;
    return true;
}

void Recorder::append(const avfoundation::AVAudioPCMBuffer& buffer) {
    const uint32_t frames = buffer.frameLength();
    const float* const* channels = buffer.floatChannelData();
    if (!channels || !channels[0] || frames == 0) return;
    const float* first = channels[0];
    const uint32_t stride = buffer.stride();
    {
        std::lock_guard lock(bufferLock_);
        if (stride == 1) {
            audioBuffer_.insert(audioBuffer_.end(), first, first + frames);
        } else {
            for (uint32_t i = 0; i < frames; ++i) audioBuffer_.push_back(first[static_cast<size_t>(i) * stride]);
        }
    }
    const float value = level(first, frames, stride);
    if (onAudioLevel) onAudioLevel(value);
}

void Recorder::tearDown() {
    if (!engine_) return;
    engine_->inputNode().removeTap(0);
    engine_->stop();
    engine_.reset();
}

std::shared_ptr<avfoundation::AVAudioPCMBuffer> Recorder::stop() {
    if (!engine_) return nullptr;
    tearDown();
    std::vector<float> samples;
    {
        std::lock_guard lock(bufferLock_);
        samples.swap(audioBuffer_);
    }
    if (samples.empty() || !format_) return nullptr;
    // A buffer counts its frames in 32 bits: a longer recording (a day at 48 kHz) keeps its first part.
    const auto frames = static_cast<uint32_t>(std::min<size_t>(samples.size(), std::numeric_limits<uint32_t>::max()));
    // The rate the samples were captured at, not whatever the device says now.
    auto format = avfoundation::AVAudioFormat::standard(format_->sampleRate(), 1);
    if (!format) return nullptr;
    auto buffer = avfoundation::AVAudioPCMBuffer::make(*format, frames);
    if (!buffer) return nullptr;
    buffer->setFrameLength(frames);
    std::memcpy(buffer->floatChannelData()[0], samples.data(), static_cast<size_t>(frames) * sizeof(float));
    return buffer;
}

}  // namespace quorvel
