#include "Platform/AVFoundation/AVAudioEngine.hpp"

#include <algorithm>

#include "Platform/AVFoundation/AVFoundationError.hpp"
#include "Platform/Accelerate/vDSP.hpp"

namespace avfoundation {

namespace {

constexpr uint32_t kMaxNodeChannels = 2;
constexpr int32_t kInvalidDeviceStatus = -10851;  // the property value is not a usable input device

}  // namespace

// ---- Input node

std::optional<AudioDeviceInfo> AVAudioInputNode::State::device() const {
    std::optional<uint32_t> selected;
    {
        std::lock_guard guard(lock);
        selected = selectedDevice;
    }
    if (selected) {
        for (const auto& d : backend->inputDevices()) {
            if (d.id == *selected) return d;
        }
        return std::nullopt;
    }
    return backend->defaultInputDevice();
}

AVAudioFormat AVAudioInputNode::inputFormat(AVAudioNodeBus) const {
    const auto d = state_->device();
    if (!d) return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 0, 0, false);
    return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, d->defaultSampleRate,
                         std::min(d->inputChannels, kMaxNodeChannels), false);
}

AVAudioFormat AVAudioInputNode::outputFormat(AVAudioNodeBus bus) const { return inputFormat(bus); }

int32_t AVAudioInputNode::setCurrentDevice(uint32_t deviceID) {
    for (const auto& d : state_->backend->inputDevices()) {
        if (d.id == deviceID) {
            std::lock_guard guard(state_->lock);
            state_->selectedDevice = deviceID;
            return 0;
        }
    }
    return kInvalidDeviceStatus;
}

std::optional<uint32_t> AVAudioInputNode::currentDevice() const {
    if (auto d = state_->device()) return d->id;
    return std::nullopt;
}

void AVAudioInputNode::installTap(AVAudioNodeBus bus, uint32_t bufferSize, const std::optional<AVAudioFormat>& format,
                                  AVAudioNodeTapBlock block) {
    if (bus != 0) throw AVAudioError(AVAudioError::Case::invalidArgument, "The input node has only bus 0");
    if (format && *format != outputFormat(bus)) {
        throw AVAudioError(AVAudioError::Case::invalidArgument,
                           "Tap format " + format->description() + " differs from the node's " +
                               outputFormat(bus).description());
    }
    std::lock_guard tapGuard(state_->tapLock);
    if (state_->tap) throw AVAudioError(AVAudioError::Case::invalidArgument, "A tap is already installed on bus 0");
    state_->tap = std::move(block);
    std::lock_guard guard(state_->lock);
    state_->tapBufferSize = std::max<uint32_t>(bufferSize, 1);
}

void AVAudioInputNode::removeTap(AVAudioNodeBus) {
    std::lock_guard tapGuard(state_->tapLock);
    state_->tap = nullptr;
}

void AVAudioInputNode::State::deliver(const float* const* channels, uint32_t channelCount, uint32_t frames,
                                      const AVAudioFormat& format) {
    std::lock_guard tapGuard(tapLock);
    if (!tap || frames == 0) return;
    auto buffer = AVAudioPCMBuffer::make(format, frames);
    if (!buffer) return;
    const uint32_t copied = std::min(channelCount, format.channelCount());
    for (uint32_t c = 0; c < copied; ++c) accelerate::vDSP::mmov(channels[c], buffer->floatChannelData()[c], frames);
    buffer->setFrameLength(frames);
    const AVAudioTime when{sampleTime, format.sampleRate()};
    sampleTime += frames;
    auto block = tap;  // the block may remove itself
    block(buffer, when);
}

// ---- Engine

AVAudioEngine::AVAudioEngine(std::shared_ptr<AudioInputBackend> backend)
    : backend_(backend), inputNode_(std::move(backend)) {}

AVAudioEngine::~AVAudioEngine() { stop(); }

// The engine's lock is never held while a stream starts or stops: the capture thread may be inside
// a tap that stops this engine, holding the backend's delivery lock.
void AVAudioEngine::start() {
    const auto node = inputNode_.state_;
    bool wantsInput = false;
    uint32_t framesPerBuffer = 0;
    {
        std::lock_guard tapGuard(node->tapLock);
        wantsInput = static_cast<bool>(node->tap);
    }
    {
        std::lock_guard nodeGuard(node->lock);
        framesPerBuffer = node->tapBufferSize;
    }
    std::shared_ptr<AudioInputStream> stream;
    {
        std::lock_guard guard(lock_);
        if (wantsInput && !stream_) {
            const auto device = node->device();
            if (!device) throw AVAudioError(AVAudioError::Case::engineStartFailed, "No audio input device is available");
            const AVAudioFormat format = inputNode_.outputFormat(0);
            if (!format.isValid()) {
                throw AVAudioError(AVAudioError::Case::engineStartFailed,
                                   "The input device \"" + device->name + "\" reports no usable format");
            }
            stream_ = backend_->openInputStream(device->id, format.sampleRate(), format.channelCount(), framesPerBuffer,
                                                [node, format](const float* const* channels, uint32_t count, uint32_t frames) {
                                                    node->deliver(channels, count, frames, format);
                                                });
        }
        stream = stream_;
    }
    if (stream) {
        try {
            stream->start();
        } catch (...) {
            std::lock_guard guard(lock_);
            if (stream_ == stream) stream_.reset();
            throw;
        }
    }
    std::lock_guard guard(lock_);
    running_ = !stream || stream_ == stream;
}

void AVAudioEngine::pause() {
    std::shared_ptr<AudioInputStream> stream;
    {
        std::lock_guard guard(lock_);
        stream = stream_;
        running_ = false;
    }
    if (stream) stream->stop();
}

void AVAudioEngine::stop() {
    std::shared_ptr<AudioInputStream> stream;
    {
        std::lock_guard guard(lock_);
        stream = std::move(stream_);
        stream_ = nullptr;
        running_ = false;
    }
    if (stream) stream->stop();
}

void AVAudioEngine::reset() {
    std::lock_guard tapGuard(inputNode_.state_->tapLock);
    inputNode_.state_->sampleTime = 0;
}

bool AVAudioEngine::isRunning() const {
    std::lock_guard guard(lock_);
    return running_;
}

}  // namespace avfoundation
