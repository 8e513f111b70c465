#pragma once
// The audio front end: how loaded audio's channels become one, and the stage's protocol.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Lexiphonic/Utilities/AsyncStream.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

struct AudioInputConfig {
    // Use one channel (an index outside the file's channels means channel 0), or add up the listed
    // channels (none or an empty list: all of them).
    struct SpecificChannel {
        int64_t channel = 0;
        bool operator==(const SpecificChannel&) const = default;
    };
    struct SumChannels {
        std::optional<std::vector<int64_t>> channels;
        bool operator==(const SumChannels&) const = default;
    };
    using ChannelMode = std::variant<SpecificChannel, SumChannels>;

    ChannelMode channelMode = SumChannels{};

    bool operator==(const AudioInputConfig&) const = default;
};

// `specificChannel(1)`, `sumChannels(nil)`, `sumChannels(Optional([0, 1]))`.
std::string description(const AudioInputConfig::ChannelMode& mode);
// { "specificChannel": { "_0": n } } or { "sumChannels": { "_0": [...] } } ("_0" left out when absent).
void encode(const AudioInputConfig::ChannelMode& mode, foundation::JSONWriter& writer);
// Exactly one of the two keys at the outer level, else a type mismatch "Invalid number of keys
// found, expected one.".
AudioInputConfig::ChannelMode decodeChannelMode(const foundation::JSONValue& value);

// What the audio stage hands the mel stage, what the mel stage hands the encoder, and what the
// encoder produces: each is a multi-array.
using AudioProcessorOutputType = coreml::MLMultiArray;

// Receives each live buffer of 16 kHz mono samples.
using AudioBufferCallback = std::function<void(const std::vector<float>& samples)>;
using AudioSampleStream = AsyncThrowingStream<std::vector<float>>;

// Loads, converts and pads audio, and captures live input. The static file operations live on
// AudioProcessor; this base declares the per-instance ones that a replacement stage provides.
class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;

    // Every 16 kHz mono sample captured since recording started (or since the last purge): a copy.
    virtual std::vector<float> audioSamples() const = 0;
    // Keeps only the last `keepingLast` samples.
    virtual void purgeAudioSamples(int64_t keepingLast) = 0;
    // The relative energy of each captured buffer, in order: a copy.
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(int64_t window) = 0;

    // Records the given input device (or the default one), handing each converted buffer to the
    // callback on the capture thread. Throws when the engine cannot be set up or started.
    virtual void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                    AudioBufferCallback callback = nullptr) = 0;
    // The same as a stream of buffers; a start failure finishes the stream with the error. Recording
    // stops when the stream terminates.
    virtual std::pair<AudioSampleStream, AudioSampleStream::Continuation> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    virtual void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                     AudioBufferCallback callback = nullptr) = 0;

    // One model window: padOrTrimAudio with saveSegment false.
    virtual std::shared_ptr<AudioProcessorOutputType> padOrTrim(std::span<const float> audioArray, int64_t startAt = 0,
                                                                int64_t toLength = Constants::defaultWindowSamples) = 0;

    // The samples startAt ..< startAt + toLength as a float32 array of shape [toLength], zero-padded
    // past the end of the samples. Nothing (and an error line) when startAt is outside the samples;
    // nothing when toLength is below 1. saveSegment has no effect.
    static std::shared_ptr<coreml::MLMultiArray> padOrTrimAudio(std::span<const float> audioArray, int64_t startAt = 0,
                                                                int64_t toLength = Constants::defaultWindowSamples,
                                                                bool saveSegment = false);
};

}  // namespace lexiphonic
