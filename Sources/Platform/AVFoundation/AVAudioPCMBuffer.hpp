#pragma once
// A buffer of 32-bit float PCM audio: a fixed capacity in frames and a settable valid length.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/AVFoundation/AVAudioFormat.hpp"

namespace avfoundation {

class AVAudioPCMBuffer {
public:
    // A zeroed buffer, or null when the format is not 32-bit float PCM or the memory cannot be had.
    static std::shared_ptr<AVAudioPCMBuffer> make(const AVAudioFormat& format, uint32_t frameCapacity);

    AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
    AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;
    ~AVAudioPCMBuffer();

    const AVAudioFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Throws foundation::RuntimeError when the length exceeds the capacity.
    void setFrameLength(uint32_t frameLength);

    // One pointer per channel for a non-interleaved format; a single pointer to the interleaved
    // frames otherwise. Each holds frameCapacity frames.
    float* const* floatChannelData() { return channels_.data(); }
    const float* const* floatChannelData() const { return channels_.data(); }
    // Floats from one frame to the next within a channel pointer: the channel count when
    // interleaved, else 1.
    uint32_t stride() const { return format_.isInterleaved() ? format_.channelCount() : 1; }

private:
    AVAudioPCMBuffer(const AVAudioFormat& format, uint32_t frameCapacity) : format_(format), frameCapacity_(frameCapacity) {}

    AVAudioFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    float* storage_ = nullptr;
    std::vector<float*> channels_;
};

}  // namespace avfoundation
