#include <algorithm>
#include <mutex>
#include <set>

#include "Platform/AVFoundation/AVFoundationError.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"

namespace avfoundation {

struct FakeAudioInputBackend::State {
    std::vector<AudioDeviceInfo> devices;
    std::optional<uint32_t> defaultDevice;
    std::set<uint32_t> failing;
    std::optional<uint32_t> openedDevice;
    uint32_t framesPerBuffer = 0;
    // The running stream's callback and channel count. The delivery lock is held while the callback
    // runs, so stop() returns only once no delivery is in flight.
    mutable std::recursive_mutex deliveryLock;
    AudioInputCallback running;
    uint32_t channels = 0;
    uint64_t runningId = 0;
    uint64_t nextId = 1;
    mutable std::mutex lock;
};

namespace {

class FakeStream final : public AudioInputStream {
public:
    FakeStream(std::shared_ptr<FakeAudioInputBackend::State> state, AudioInputCallback callback, uint32_t channels, uint64_t id)
        : state_(std::move(state)), callback_(std::move(callback)), channels_(channels), id_(id) {}
    ~FakeStream() override { stop(); }
    void start() override {
        std::lock_guard guard(state_->deliveryLock);
        state_->running = callback_;
        state_->channels = channels_;
        state_->runningId = id_;
    }
    void stop() override {
        std::lock_guard guard(state_->deliveryLock);
        if (state_->runningId != id_) return;
        state_->running = nullptr;
        state_->runningId = 0;
    }

private:
    std::shared_ptr<FakeAudioInputBackend::State> state_;
    AudioInputCallback callback_;
    uint32_t channels_;
    uint64_t id_;
};

}  // namespace

FakeAudioInputBackend::FakeAudioInputBackend(std::vector<AudioDeviceInfo> devices, std::optional<uint32_t> defaultDevice)
    : state_(std::make_shared<State>()) {
    state_->devices = std::move(devices);
    state_->defaultDevice = defaultDevice;
}

std::vector<AudioDeviceInfo> FakeAudioInputBackend::inputDevices() {
    std::lock_guard guard(state_->lock);
    std::vector<AudioDeviceInfo> inputs;
    for (const auto& d : state_->devices) {
        if (d.inputChannels > 0) inputs.push_back(d);
    }
    return inputs;
}

std::optional<AudioDeviceInfo> FakeAudioInputBackend::defaultInputDevice() {
    std::lock_guard guard(state_->lock);
    if (!state_->defaultDevice) return std::nullopt;
    for (const auto& d : state_->devices) {
        if (d.id == *state_->defaultDevice && d.inputChannels > 0) return d;
    }
    return std::nullopt;
}

std::unique_ptr<AudioInputStream> FakeAudioInputBackend::openInputStream(uint32_t deviceID, double sampleRate,
                                                                         uint32_t channels, uint32_t framesPerBuffer,
                                                                         AudioInputCallback callback) {
    std::lock_guard guard(state_->lock);
    const auto device = std::find_if(state_->devices.begin(), state_->devices.end(),
                                     [&](const AudioDeviceInfo& d) { return d.id == deviceID; });
    if (device == state_->devices.end() || device->inputChannels == 0) {
        throw AVAudioError(AVAudioError::Case::engineStartFailed, "No input device " + std::to_string(deviceID));
    }
    if (state_->failing.count(deviceID)) {
        throw AVAudioError(AVAudioError::Case::engineStartFailed,
                           "The input device \"" + device->name + "\" could not be opened");
    }
    if (channels == 0 || channels > device->inputChannels || sampleRate <= 0) {
        throw AVAudioError(AVAudioError::Case::engineStartFailed, "Unsupported capture format");
    }
    state_->openedDevice = deviceID;
    state_->framesPerBuffer = framesPerBuffer;
    return std::make_unique<FakeStream>(state_, std::move(callback), channels, state_->nextId++);
}

void FakeAudioInputBackend::failOpening(uint32_t deviceID) {
    std::lock_guard guard(state_->lock);
    state_->failing.insert(deviceID);
}

bool FakeAudioInputBackend::deliver(const std::vector<float>& interleaved) {
    std::lock_guard guard(state_->deliveryLock);
    if (!state_->running || state_->channels == 0) return false;
    const uint32_t channels = state_->channels;
    const uint32_t frames = static_cast<uint32_t>(interleaved.size() / channels);
    std::vector<std::vector<float>> planar(channels, std::vector<float>(frames));
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t c = 0; c < channels; ++c) planar[c][i] = interleaved[static_cast<size_t>(i) * channels + c];
    }
    std::vector<const float*> pointers;
    for (const auto& p : planar) pointers.push_back(p.data());
    // A copy: the callback may stop the stream, which clears the slot.
    auto callback = state_->running;
    callback(pointers.data(), channels, frames);
    return true;
}

std::optional<uint32_t> FakeAudioInputBackend::openedDevice() const {
    std::lock_guard guard(state_->lock);
    return state_->openedDevice;
}

uint32_t FakeAudioInputBackend::requestedFramesPerBuffer() const {
    std::lock_guard guard(state_->lock);
    return state_->framesPerBuffer;
}

bool FakeAudioInputBackend::isRunning() const {
    std::lock_guard guard(state_->deliveryLock);
    return static_cast<bool>(state_->running);
}

}  // namespace avfoundation
