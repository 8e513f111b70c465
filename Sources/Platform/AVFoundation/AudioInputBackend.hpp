#pragma once
// Where captured audio comes from: the system's input devices (PortAudio) or, in tests, an
// in-memory fake that the test feeds. The audio engine is built on one of these.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace avfoundation {

struct AudioDeviceInfo {
    uint32_t id = 0;
    std::string name;
    uint32_t inputChannels = 0;
    double defaultSampleRate = 0;

    bool operator==(const AudioDeviceInfo&) const = default;
};

// Receives each captured block as one pointer per channel, `frames` frames each, on the backend's
// capture thread.
using AudioInputCallback = std::function<void(const float* const* channels, uint32_t channelCount, uint32_t frames)>;

// One opened capture; created stopped.
class AudioInputStream {
public:
    virtual ~AudioInputStream() = default;
    // Throws AVAudioError(engineStartFailed).
    virtual void start() = 0;
    // Returns once no callback runs any more (when called from the capture thread itself, once the
    // current callback returns).
    virtual void stop() = 0;
};

class AudioInputBackend {
public:
    virtual ~AudioInputBackend() = default;
    // Every device with at least one input channel, in the system's order; empty when there is none
    // or the system cannot be asked.
    virtual std::vector<AudioDeviceInfo> inputDevices() = 0;
    // The system's default input device, if any.
    virtual std::optional<AudioDeviceInfo> defaultInputDevice() = 0;
    // Opens capture of `channels` channels at `sampleRate` from the device, delivering about
    // `framesPerBuffer` frames per callback. Throws AVAudioError(engineStartFailed) when the device
    // is gone or refuses.
    virtual std::unique_ptr<AudioInputStream> openInputStream(uint32_t deviceID, double sampleRate, uint32_t channels,
                                                              uint32_t framesPerBuffer, AudioInputCallback callback) = 0;
};

// The system's devices through PortAudio, initialised once per process on first use.
std::shared_ptr<AudioInputBackend> portAudioInputBackend();

// A backend whose devices and audio the test decides. Capture is driven by deliver(), which calls
// the open stream's callback on the calling thread while the stream runs.
class FakeAudioInputBackend : public AudioInputBackend {
public:
    explicit FakeAudioInputBackend(std::vector<AudioDeviceInfo> devices = {}, std::optional<uint32_t> defaultDevice = {});

    std::vector<AudioDeviceInfo> inputDevices() override;
    std::optional<AudioDeviceInfo> defaultInputDevice() override;
    std::unique_ptr<AudioInputStream> openInputStream(uint32_t deviceID, double sampleRate, uint32_t channels,
                                                      uint32_t framesPerBuffer, AudioInputCallback callback) override;

    // Makes every later open of this device fail, as a device that was unplugged or is busy.
    void failOpening(uint32_t deviceID);
    // Delivers interleaved frames to the running stream; false when no stream runs.
    bool deliver(const std::vector<float>& interleaved);
    // The device and buffer size of the last opened stream.
    std::optional<uint32_t> openedDevice() const;
    uint32_t requestedFramesPerBuffer() const;
    bool isRunning() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace avfoundation
