#pragma once
// A minimal audio engine: one input node whose bus 0 carries the chosen (or default) input device's
// audio, and a tap on it that receives each captured buffer on the capture thread. The capture comes
// from an AudioInputBackend chosen at construction (the system's devices, or a test's fake).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/AVFoundation/AVAudioFormat.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"

namespace avfoundation {

using AVAudioNodeBus = uint32_t;

// When a tapped buffer starts: its first frame counted from the engine's start, at the node's rate.
struct AVAudioTime {
    int64_t sampleTime = 0;
    double sampleRate = 0;
};

using AVAudioNodeTapBlock = std::function<void(const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime& when)>;

class AVAudioEngine;

class AVAudioInputNode {
public:
    // The device's format: its default rate and its channels (two at most: a tap on a microphone
    // needs no more, and some systems report dozens of virtual channels). With no device: rate 0 and
    // no channels, which no usable format accepts.
    AVAudioFormat inputFormat(AVAudioNodeBus bus) const;
    // What taps receive: the standard format (32-bit float, non-interleaved) at the input's rate.
    AVAudioFormat outputFormat(AVAudioNodeBus bus) const;

    // Selects the input device for the next start: 0 on success, a non-zero status when no such
    // input device exists (the previous choice stays).
    int32_t setCurrentDevice(uint32_t deviceID);
    std::optional<uint32_t> currentDevice() const;

    // One tap per bus, only bus 0: buffers of about bufferSize frames in the output format. A format,
    // when given, must equal the output format. Throws AVAudioError(invalidArgument) otherwise or
    // when a tap is already installed.
    void installTap(AVAudioNodeBus bus, uint32_t bufferSize, const std::optional<AVAudioFormat>& format,
                    AVAudioNodeTapBlock block);
    // Returns once no tap block runs any more (immediately when called from inside the tap).
    void removeTap(AVAudioNodeBus bus);

private:
    friend class AVAudioEngine;
    // Shared with the capture callback, so a callback in flight outlives an engine dropped meanwhile.
    struct State {
        std::shared_ptr<AudioInputBackend> backend;
        mutable std::mutex lock;
        std::optional<uint32_t> selectedDevice;
        uint32_t tapBufferSize = 0;
        // Held while a tap block runs, so removeTap can wait for it; recursive so the block itself
        // may remove the tap or stop the engine.
        std::recursive_mutex tapLock;
        AVAudioNodeTapBlock tap;
        int64_t sampleTime = 0;

        std::optional<AudioDeviceInfo> device() const;
        void deliver(const float* const* channels, uint32_t channelCount, uint32_t frames, const AVAudioFormat& format);
    };
    explicit AVAudioInputNode(std::shared_ptr<AudioInputBackend> backend) : state_(std::make_shared<State>()) {
        state_->backend = std::move(backend);
    }

    std::shared_ptr<State> state_;
};

class AVAudioEngine {
public:
    explicit AVAudioEngine(std::shared_ptr<AudioInputBackend> backend = portAudioInputBackend());
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    AVAudioInputNode& inputNode() { return inputNode_; }

    void prepare() {}
    // Opens the input device (when a tap wants its audio) and starts capture. Throws
    // AVAudioError(engineStartFailed) when there is no input device or it cannot be opened or started;
    // the engine then stays stopped.
    void start();
    // Stops capture and keeps the device open for a later start.
    void pause();
    // Stops capture and closes the device.
    void stop();
    // Back to the state before the first start; the tap stays.
    void reset();
    bool isRunning() const;

private:
    std::shared_ptr<AudioInputBackend> backend_;
    AVAudioInputNode inputNode_;
    mutable std::mutex lock_;
    std::shared_ptr<AudioInputStream> stream_;
    bool running_ = false;
};

// Record permission: Linux asks no permission of its own for capture, so it is always granted.
class AVAudioApplication {
public:
    static bool requestRecordPermission() { return true; }
};

}  // namespace avfoundation
