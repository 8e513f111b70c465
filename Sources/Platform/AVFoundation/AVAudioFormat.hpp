#pragma once
// A PCM stream format: sample type, rate, channel count and layout in memory.
#include <cstdint>
#include <optional>
#include <string>

namespace avfoundation {

enum class AVAudioCommonFormat { otherFormat, pcmFormatFloat32, pcmFormatFloat64, pcmFormatInt16, pcmFormatInt32 };

class AVAudioFormat {
public:
    // A format as a device or file reports it, valid or not (a missing device reports rate 0 and no
    // channels).
    AVAudioFormat(AVAudioCommonFormat commonFormat, double sampleRate, uint32_t channelCount, bool interleaved)
        : commonFormat_(commonFormat), sampleRate_(sampleRate), channelCount_(channelCount), interleaved_(interleaved) {}

    // A usable PCM format, or nothing for a rate that is not positive and finite, no channels, or
    // otherFormat.
    static std::optional<AVAudioFormat> make(AVAudioCommonFormat commonFormat, double sampleRate, uint32_t channelCount,
                                             bool interleaved);
    // The standard format: 32-bit float, non-interleaved.
    static std::optional<AVAudioFormat> standard(double sampleRate, uint32_t channelCount);

    AVAudioCommonFormat commonFormat() const { return commonFormat_; }
    double sampleRate() const { return sampleRate_; }
    uint32_t channelCount() const { return channelCount_; }
    bool isInterleaved() const { return interleaved_; }
    bool isStandard() const;
    bool isValid() const;
    // Bytes of one sample of one channel; 0 for otherFormat.
    uint32_t bytesPerSample() const;
    // Bytes of one frame in one buffer: all channels when interleaved, one otherwise.
    uint32_t bytesPerFrame() const;

    bool operator==(const AVAudioFormat&) const = default;
    std::string description() const;

private:
    AVAudioCommonFormat commonFormat_;
    double sampleRate_;
    uint32_t channelCount_;
    bool interleaved_;
};

}  // namespace avfoundation
