#pragma once
// The microphone for one dictation: each start builds a fresh audio engine with a tap on its input;
// the tap keeps channel 0 and reports a level for the overlay; stop hands over the whole recording as
// one mono 32-bit float buffer at the input device's own rate.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AVFoundation/AVAudioEngine.hpp"
#include "Quorvel/Console.hpp"

namespace quorvel {

class Recorder {
public:
    static constexpr uint32_t tapBufferSize = 4096;

    // Each recording opens `input` (the system's devices in the app, a fake in tests).
    Recorder(std::shared_ptr<avfoundation::AudioInputBackend> input, PrintLine print);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Called on the audio thread with a level in 0...1 for every delivered buffer. Set it before the
    // first recording.
    std::function<void(float)> onAudioLevel;

    // Main thread. A failed start (no input device, a device that refuses) prints why, keeps the
    // reason in startFailure() and leaves the recorder idle (the next stop() returns nothing); false then.
    bool startMic();
    const std::string& startFailure() const { return startFailure_; }
    // Main thread. The recording, labelled with the format the device had when it started; nothing
    // when no recording runs or nothing was captured.
    std::shared_ptr<avfoundation::AVAudioPCMBuffer> stop();
    bool isRecording() const { return engine_ != nullptr; }

    // Root mean square times 8, capped at 1; a NaN (a broken input) reads as 0.
    static float level(const float* samples, uint32_t count, uint32_t stride = 1);

private:
    void append(const avfoundation::AVAudioPCMBuffer& buffer);
    void tearDown();

    std::shared_ptr<avfoundation::AudioInputBackend> input_;
    PrintLine print_;
    std::unique_ptr<avfoundation::AVAudioEngine> engine_;
    std::optional<avfoundation::AVAudioFormat> format_;
    std::mutex bufferLock_;
    std::vector<float> audioBuffer_;
    std::string startFailure_;
};

}  // namespace quorvel
