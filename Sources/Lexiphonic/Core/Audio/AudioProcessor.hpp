#pragma once
// The audio front end: files of any format to 16 kHz mono samples, model windows, and live capture
// with an energy record per buffer.
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Lexiphonic/Core/AudioProcessing.hpp"
#include "Lexiphonic/Core/VoiceActivityDetector.hpp"
#include "Platform/AVFoundation/AVAudioConverter.hpp"
#include "Platform/AVFoundation/AVAudioEngine.hpp"
#include "Platform/AVFoundation/AVAudioFile.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"
#include "Platform/CoreVideo/CGImage.hpp"

namespace lexiphonic {

using ChannelMode = AudioInputConfig::ChannelMode;
using AudioBuffer = std::shared_ptr<avfoundation::AVAudioPCMBuffer>;

// The energy of one captured buffer: relative energy in 0 ... 1, RMS, largest and smallest magnitude.
struct AudioEnergy {
    float rel = 0;
    float avg = 0;
    float max = 0;
    float min = 0;
    bool operator==(const AudioEnergy&) const = default;
    // "(rel, avg, max, min)"
    std::string description() const;
};

struct EnergyStats {
    float avg = 0;
    float max = 0;
    float min = 0;
    bool operator==(const EnergyStats&) const = default;
};

struct AudioDevice {
    uint32_t id = 0;
    std::string name;
    bool operator==(const AudioDevice&) const = default;
};

// One file of a batch: its samples, or the error that stopped it.
using AudioLoadResult = std::variant<std::vector<float>, std::exception_ptr>;

// Appends frameCount frames of `source` from startingFrame to `destination`, shortened to the space
// left. False (with a log line) on differing formats, a range beyond the source, or no float data.
bool appendContents(avfoundation::AVAudioPCMBuffer& destination, const avfoundation::AVAudioPCMBuffer& source,
                    int64_t startingFrame, uint32_t frameCount);

class AudioProcessor : public AudioProcessing, public std::enable_shared_from_this<AudioProcessor> {
public:
    // Live capture from the system's input devices.
    AudioProcessor();
    // Live capture from the given backend (a test's fake).
    explicit AudioProcessor(std::shared_ptr<avfoundation::AudioInputBackend> inputBackend);
    ~AudioProcessor() override;

    // ---- Files (static, stateless, any thread)

    // A range of the file at the path as a 16 kHz mono buffer. Throws WhisperError.loadAudioFailed
    // ("Resource path does not exist <path>", ...) or the file reader's own error.
    static AudioBuffer loadAudio(const std::string& fromPath, const ChannelMode& channelMode = AudioInputConfig::SumChannels{},
                                 std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt,
                                 std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    // The same on an open file; moves its frame position.
    static AudioBuffer loadAudio(avfoundation::AVAudioFile& fromFile, const ChannelMode& channelMode = AudioInputConfig::SumChannels{},
                                 std::optional<double> startTime = 0.0, std::optional<double> endTime = std::nullopt,
                                 std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    // The whole range as samples, read in slices of 600 s.
    static std::vector<float> loadAudioAsFloatArray(const std::string& fromPath,
                                                    const ChannelMode& channelMode = AudioInputConfig::SumChannels{},
                                                    std::optional<double> startTime = 0.0,
                                                    std::optional<double> endTime = std::nullopt);
    // Every file on the task pool; result i belongs to path i, and one failure leaves the others.
    static std::vector<AudioLoadResult> loadAudio(const std::vector<std::string>& at,
                                                  const ChannelMode& channelMode = AudioInputConfig::SumChannels{});
    // loadAudio(fromPath) of the whole file, all channels summed.
    static AudioBuffer loadAudioAsync(const std::string& fromPath);
    // The samples' raw bytes taken as the pixels of an image of the size (truncated to whole pixels):
    // one sample per pixel, no drawing; samples beyond width x height are left out. Throws
    // WhisperError(audioProcessingFailed) for a side below one pixel or of 2^40 pixels and more, or
    // fewer samples than pixels.
    static corevideo::CGImage createWaveformImage(std::span<const float> fromAudio, corevideo::CGSize withSize);

    // Reads the file from its position in chunks of maxReadFrameSize frames, down-mixing and
    // resampling each; null (with an error line) on any failure.
    static AudioBuffer resampleAudio(avfoundation::AVAudioFile& fromFile, double toSampleRate, uint32_t channelCount,
                                     const ChannelMode& channelMode, std::optional<uint32_t> frameCount,
                                     uint32_t maxReadFrameSize = Constants::defaultAudioReadFrameSize);
    // One whole buffer at another rate (and, from several channels to one, its first channel).
    static AudioBuffer resampleAudio(const AudioBuffer& fromBuffer, double toSampleRate, uint32_t channelCount);
    // Converts the whole buffer with the converter: its frames are fed once, then the resampler is
    // flushed. Throws WhisperError.audioProcessingFailed.
    static AudioBuffer resampleBuffer(const AudioBuffer& buffer, avfoundation::AVAudioConverter& with);
    // One channel from several as the mode says; a mono buffer comes back as it is.
    static AudioBuffer convertToMono(const AudioBuffer& buffer, const ChannelMode& mode);
    // Channel 0 as samples, copied chunk by chunk; the source's channel 0 is zeroed afterwards.
    static std::vector<float> convertBufferToArray(avfoundation::AVAudioPCMBuffer& buffer, uint32_t chunkSize = 1024);

    std::shared_ptr<AudioProcessorOutputType> padOrTrim(std::span<const float> audioArray, int64_t startAt = 0,
                                                        int64_t toLength = Constants::defaultWindowSamples) override;

    // ---- Live capture

    std::vector<float> audioSamples() const override;
    // Every energy record, in arrival order (a copy).
    std::vector<AudioEnergy> audioEnergy() const;
    std::vector<float> relativeEnergy() const override;
    void purgeAudioSamples(int64_t keepingLast) override;
    int64_t relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(int64_t window) override;
    AudioBufferCallback audioBufferCallback() const;
    void setAudioBufferCallback(AudioBufferCallback callback);
    int64_t minBufferLength() const;
    void setMinBufferLength(int64_t length);
    bool isInputSuppressed() const;
    void setInputSuppressed(bool suppressed);
    // The running or paused engine; null while idle.
    std::shared_ptr<avfoundation::AVAudioEngine> audioEngine() const;

    void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                            AudioBufferCallback callback = nullptr) override;
    std::pair<AudioSampleStream, AudioSampleStream::Continuation> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) override;
    void pauseRecording() override;
    void stopRecording() override;
    void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                             AudioBufferCallback callback = nullptr) override;

    // Appends one buffer of 16 kHz mono samples with its energy record, as the capture tap does.
    void processBuffer(const std::vector<float>& buffer);

    static bool requestRecordPermission();
    // The input devices of the system (or of the given backend); empty when there are none.
    static std::vector<AudioDevice> getAudioDevices(
        const std::shared_ptr<avfoundation::AudioInputBackend>& backend = avfoundation::portAudioInputBackend());
    // Whether some energy among the newest nextBufferInSeconds / 0.1 records, less the newest 10
    // (or the first 10 when 20 or fewer are in view), is strictly above the threshold.
    static bool isVoiceDetected(std::span<const float> in, float nextBufferInSeconds, float silenceThreshold);
    static float calculateAverageEnergy(std::span<const float> of);
    static EnergyStats calculateEnergy(std::span<const float> of);
    // How far the samples' level lies above the reference level (0.001 when absent), in decibels
    // scaled so that the reference is 0 and full scale is 1; clamped to 0 ... 1, NaN giving 0.
    static float calculateRelativeEnergy(std::span<const float> of, std::optional<float> relativeTo);
    static std::vector<SampleRange> calculateNonSilentChunks(std::span<const float> in);
    static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> of, int64_t chunkCount,
                                                            int64_t frameLengthSamples, int64_t frameOverlapSamples,
                                                            float energyThreshold);

private:
    std::shared_ptr<avfoundation::AVAudioEngine> setupEngine(std::optional<uint32_t> inputDeviceID);
    void handleTapBuffer(const AudioBuffer& buffer, avfoundation::AVAudioConverter* converter);

    std::shared_ptr<avfoundation::AudioInputBackend> inputBackend_;

    // Guards everything below: the capture thread appends while callers read and control.
    mutable std::mutex lock_;
    std::optional<uint32_t> lastInputDevice_;
    std::shared_ptr<avfoundation::AVAudioEngine> audioEngine_;
    std::vector<float> audioSamples_;
    std::vector<AudioEnergy> audioEnergy_;
    int64_t relativeEnergyWindow_ = 20;
    AudioBufferCallback audioBufferCallback_;
    int64_t minBufferLength_ = 1600;
    bool isInputSuppressed_ = false;
};

}  // namespace lexiphonic
