#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>

#include "Lexiphonic/Core/Audio/EnergyVAD.hpp"
#include "Lexiphonic/Utilities/Coding.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Accelerate/vDSP.hpp"
#include "Platform/Foundation/Numbers.hpp"
#include "Platform/Foundation/TaskPool.hpp"

namespace lexiphonic {

using avfoundation::AVAudioConverter;
using avfoundation::AVAudioFile;
using avfoundation::AVAudioFormat;
using avfoundation::AVAudioPCMBuffer;
using pellux::Logging;
namespace vDSP = accelerate::vDSP;

namespace {

constexpr double kTargetRate = 16000;
constexpr double kSliceSeconds = 600.0;
constexpr uint32_t kArrayChunkSize = 1024;
constexpr float kMinimumSumPeak = 1e-4f;
constexpr size_t kEnergyFloorRecords = 20;
// The lowest file rate read. Real recordings start at a few kHz (telephony is 8 kHz); at this floor
// the conversion to 16 kHz makes at most 16 samples per frame of the file, while a header claiming
// 1 Hz would turn a few kilobytes into gigabytes of samples.
constexpr double kMinimumFileRate = 1000;

std::string errorText(const std::exception& error) {
    if (const auto* e = dynamic_cast<const foundation::Error*>(&error)) return e->describe();
    return error.what();
}

bool debugEnabled() { return Logging::passes(Logging::LogLevel::debug); }

// A time in seconds as a frame index of a file of `length` frames: truncated toward zero and kept
// inside the file (a time that is not a number counts as 0).
int64_t frameAt(double seconds, double rate, int64_t length) {
    double frame = seconds * rate;
    if (std::isnan(frame) || frame <= 0) return 0;
    if (frame >= static_cast<double>(length)) return length;
    // A time computed as frames / rate comes back a hair below the frame it stood for; truncating
    // that would drop a frame at every slice boundary.
    const double nearest = std::nearbyint(frame);
    if (std::fabs(frame - nearest) < 1e-6) frame = nearest;
    return static_cast<int64_t>(frame);
}

void checkFile(const AVAudioFile& file) {
    const double rate = file.fileFormat().sampleRate();
    if (!(rate >= kMinimumFileRate)) {
        throw WhisperError::loadAudioFailed("Audio file sample rate of " + foundation::formatDouble(rate) +
                                            " Hz is below the lowest supported, " +
                                            foundation::formatDouble(kMinimumFileRate) + " Hz");
    }
    if (file.length() > std::numeric_limits<uint32_t>::max()) {
        throw WhisperError::loadAudioFailed("Audio file is too long: " + std::to_string(file.length()) + " frames");
    }
}

void requireFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
}

std::string bufferDetails(const char* what, double rate, uint32_t channels, int64_t frames) {
    return std::string(what) + " - Sample Rate: " + foundation::formatDouble(rate) +
           " Hz, Channel Count: " + std::to_string(channels) + ", Frame Length: " + std::to_string(frames) +
           ", Duration: " + foundation::formatDouble(static_cast<double>(frames) / rate) + "s";
}

float relativeLevel(float rms, float reference) {
    const float level = 20 * std::log10(rms);
    const float floorLevel = 20 * std::log10(reference);
    const float rel = (level - floorLevel) / (0 - floorLevel);
    if (std::isnan(rel)) return 0;
    return std::max(0.0f, std::min(rel, 1.0f));
}

// Resamples one live buffer through the engine's one streaming converter: its frames are fed once
// and the resampler keeps its state (and any frames it holds back) for the next buffer.
AudioBuffer resampleLiveBuffer(const AudioBuffer& buffer, AVAudioConverter& converter) {
    const double ratio = converter.outputFormat().sampleRate() / converter.inputFormat().sampleRate();
    const double expected = std::ceil(ratio * buffer->frameLength()) + 64;
    auto output = expected < 4294967295.0 ? AVAudioPCMBuffer::make(converter.outputFormat(), static_cast<uint32_t>(expected))
                                          : nullptr;
    if (!output) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    bool fed = false;
    std::optional<avfoundation::AVAudioError> error;
    const auto status = converter.convert(*output, error, [&](uint32_t, avfoundation::AVAudioConverterInputStatus& s) {
        if (fed) {
            s = avfoundation::AVAudioConverterInputStatus::noDataNow;
            return AudioBuffer();
        }
        fed = true;
        s = avfoundation::AVAudioConverterInputStatus::haveData;
        return buffer;
    });
    if (status == avfoundation::AVAudioConverterOutputStatus::error) {
        throw WhisperError::audioProcessingFailed("Error converting audio: " +
                                                  (error ? error->localizedDescription() : std::string("unknown")));
    }
    return output;
}

}  // namespace

// ---- Energy record

std::string AudioEnergy::description() const {
    return "(" + foundation::formatFloat(rel) + ", " + foundation::formatFloat(avg) + ", " + foundation::formatFloat(max) +
           ", " + foundation::formatFloat(min) + ")";
}

// ---- Channel mode

std::string description(const AudioInputConfig::ChannelMode& mode) {
    if (const auto* specific = std::get_if<AudioInputConfig::SpecificChannel>(&mode)) {
        return "specificChannel(" + std::to_string(specific->channel) + ")";
    }
    const auto& sum = std::get<AudioInputConfig::SumChannels>(mode);
    if (!sum.channels) return "sumChannels(nil)";
    return "sumChannels(Optional(" + pellux::detail::logDescription(*sum.channels) + "))";
}

void encode(const AudioInputConfig::ChannelMode& mode, foundation::JSONWriter& writer) {
    writer.beginObject();
    if (const auto* specific = std::get_if<AudioInputConfig::SpecificChannel>(&mode)) {
        writer.key("specificChannel").beginObject().key("_0").value(specific->channel).endObject();
    } else {
        const auto& sum = std::get<AudioInputConfig::SumChannels>(mode);
        writer.key("sumChannels").beginObject();
        if (sum.channels) coding::writeList(writer, "_0", *sum.channels);
        writer.endObject();
    }
    writer.endObject();
}

AudioInputConfig::ChannelMode decodeChannelMode(const foundation::JSONValue& value) {
    coding::requireObject(value, "ChannelMode");
    bool hasSpecific = false;
    bool hasSum = false;
    for (const auto& [key, member] : value.members()) {
        if (key == "specificChannel") hasSpecific = true;
        else if (key == "sumChannels") hasSum = true;
    }
    if (hasSpecific == hasSum) {
        throw DecodingError(DecodingError::Case::typeMismatch, "Invalid number of keys found, expected one.");
    }
    if (hasSpecific) {
        const auto payload = value.member("specificChannel");
        coding::requireObject(payload, "ChannelMode.specificChannel");
        return AudioInputConfig::SpecificChannel{coding::readInt(coding::required(payload, "_0"))};
    }
    const auto payload = value.member("sumChannels");
    coding::requireObject(payload, "ChannelMode.sumChannels");
    return AudioInputConfig::SumChannels{coding::readOptional(payload, "_0", coding::readIntArray)};
}

// ---- Window

std::shared_ptr<coreml::MLMultiArray> AudioProcessing::padOrTrimAudio(std::span<const float> audioArray, int64_t startAt,
                                                                      int64_t toLength, bool /*saveSegment*/) {
    const int64_t count = static_cast<int64_t>(audioArray.size());
    if (startAt < 0 || startAt >= count) {
        Logging::error("startIndex is outside the buffer size");
        return nullptr;
    }
    if (toLength < 1) {
        Logging::error("Window length must be at least 1, got " + std::to_string(toLength));
        return nullptr;
    }
    const int64_t n = std::min(toLength, count - startAt);
    std::shared_ptr<coreml::MLMultiArray> window;
    try {
        window = coreml::MLMultiArray::make({toLength}, coreml::MLMultiArrayDataType::float32);
    } catch (const std::exception& e) {
        Logging::error("Failed to create the audio window: " + errorText(e));
        return nullptr;
    }
    float* out = window->data<float>();
    vDSP::mmov(audioArray.data() + startAt, out, static_cast<size_t>(n));
    vDSP::vclr(out + n, static_cast<size_t>(toLength - n));
    return window;
}

std::shared_ptr<AudioProcessorOutputType> AudioProcessor::padOrTrim(std::span<const float> audioArray, int64_t startAt,
                                                                    int64_t toLength) {
    return padOrTrimAudio(audioArray, startAt, toLength, false);
}

// ---- Files

AudioBuffer AudioProcessor::loadAudio(const std::string& fromPath, const ChannelMode& channelMode,
                                      std::optional<double> startTime, std::optional<double> endTime,
                                      std::optional<uint32_t> maxReadFrameSize) {
    requireFile(fromPath);
    AVAudioFile file(fromPath);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

AudioBuffer AudioProcessor::loadAudio(AVAudioFile& fromFile, const ChannelMode& channelMode, std::optional<double> startTime,
                                      std::optional<double> endTime, std::optional<uint32_t> maxReadFrameSize) {
    const double rate = fromFile.fileFormat().sampleRate();
    const uint32_t channels = fromFile.fileFormat().channelCount();
    checkFile(fromFile);
    const int64_t length = fromFile.length();
    if (maxReadFrameSize && *maxReadFrameSize == 0) {
        throw WhisperError::loadAudioFailed("The read size must be at least one frame");
    }
    const int64_t startFrame = frameAt(startTime.value_or(0.0), rate, length);
    const int64_t endFrame = endTime ? frameAt(*endTime, rate, length) : length;
    // A start at or after the end reads nothing.
    const uint32_t frameCount = static_cast<uint32_t>(std::max<int64_t>(endFrame - startFrame, 0));
    fromFile.setFramePosition(startFrame);

    AudioBuffer buffer;
    if (rate == kTargetRate && channels == 1) {
        buffer = AVAudioPCMBuffer::make(fromFile.processingFormat(), frameCount);
        if (!buffer) throw WhisperError::loadAudioFailed("Unable to create audio buffer");
        try {
            fromFile.read(*buffer, frameCount);
        } catch (const std::exception& e) {
            throw WhisperError::loadAudioFailed("Failed to read audio file: " + errorText(e));
        }
    } else {
        buffer = resampleAudio(fromFile, kTargetRate, 1, channelMode, frameCount,
                               maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize));
        if (!buffer) throw WhisperError::loadAudioFailed("Failed to process audio buffer");
    }
    if (debugEnabled()) {
        Logging::debug(bufferDetails("Audio source details", rate, channels, length));
        Logging::debug(bufferDetails("Audio buffer details", buffer->format().sampleRate(), buffer->format().channelCount(),
                                     buffer->frameLength()));
        Logging::logCurrentMemoryUsage("After loadAudio function");
    }
    return buffer;
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                         std::optional<double> startTime, std::optional<double> endTime) {
    requireFile(fromPath);
    AVAudioFile file(fromPath);
    checkFile(file);
    const double duration = static_cast<double>(file.length()) / file.fileFormat().sampleRate();
    double current = startTime.value_or(0.0);
    if (std::isnan(current)) current = 0;
    double end = std::min(endTime.value_or(duration), duration);
    if (std::isnan(end)) end = duration;
    std::vector<float> samples;
    if (current < end) samples.reserve(static_cast<size_t>((end - std::max(current, 0.0)) * kTargetRate) + 16);
    while (current < end) {
        const double sliceEnd = std::min(current + kSliceSeconds, end);
        // Each slice's buffers are released before the next slice is read.
        auto buffer = loadAudio(file, channelMode, current, sliceEnd, std::nullopt);
        const auto slice = convertBufferToArray(*buffer, kArrayChunkSize);
        samples.insert(samples.end(), slice.begin(), slice.end());
        current = sliceEnd;
    }
    return samples;
}

std::vector<AudioLoadResult> AudioProcessor::loadAudio(const std::vector<std::string>& at, const ChannelMode& channelMode) {
    std::vector<std::function<AudioLoadResult()>> children;
    children.reserve(at.size());
    for (const auto& path : at) {
        children.push_back([path, channelMode]() -> AudioLoadResult {
            try {
                return loadAudioAsFloatArray(path, channelMode, 0.0, std::nullopt);
            } catch (...) {
                return std::current_exception();
            }
        });
    }
    return foundation::runTaskGroup(foundation::TaskPool::shared(), std::move(children));
}

AudioBuffer AudioProcessor::loadAudioAsync(const std::string& fromPath) {
    return loadAudio(fromPath, AudioInputConfig::SumChannels{}, 0.0, std::nullopt, std::nullopt);
}

corevideo::CGImage AudioProcessor::createWaveformImage(std::span<const float> fromAudio, corevideo::CGSize withSize) {
    const auto pixels = [](double side) -> int64_t {
        // NaN and sides of 2^40 pixels and more (far beyond any sample list) count as no pixels,
        // so the row size below cannot overflow; a side below one pixel fails in the image.
        if (!(std::fabs(side) < 0x1p40)) return 0;
        return static_cast<int64_t>(std::trunc(side));
    };
    corevideo::CGImage::Params params;
    params.width = pixels(withSize.width);
    params.height = pixels(withSize.height);
    params.bytesPerRow = params.width * 4;
    const auto* raw = reinterpret_cast<const uint8_t*>(fromAudio.data());
    std::vector<uint8_t> bytes(raw, raw + fromAudio.size_bytes());
    try {
        return corevideo::CGImage(params, std::move(bytes));
    } catch (const std::invalid_argument& e) {
        throw WhisperError::audioProcessingFailed("No waveform image of " + std::to_string(fromAudio.size()) +
                                                  " samples: " + e.what());
    }
}

AudioBuffer AudioProcessor::resampleAudio(AVAudioFile& fromFile, double toSampleRate, uint32_t channelCount,
                                          const ChannelMode& channelMode, std::optional<uint32_t> frameCount,
                                          uint32_t maxReadFrameSize) {
    const double inputRate = fromFile.processingFormat().sampleRate();
    if (!(inputRate >= kMinimumFileRate)) {
        Logging::error("The file's sample rate is below the lowest supported");
        return nullptr;
    }
    int64_t position = fromFile.framePosition();
    const int64_t frames = frameCount ? static_cast<int64_t>(*frameCount) : fromFile.length();
    const int64_t endPosition = std::min(position + frames, fromFile.length());

    const auto outputFormat = AVAudioFormat::standard(toSampleRate, channelCount);
    if (!outputFormat) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    if (maxReadFrameSize == 0) {
        Logging::error("The read size must be at least one frame");
        return nullptr;
    }
    const double inputDuration = static_cast<double>(frames) / inputRate;
    if (debugEnabled()) Logging::debug("Resampling " + foundation::format("%.2f", inputDuration) + " seconds of audio");
    const double capacity = std::trunc(inputDuration * outputFormat->sampleRate());
    auto output = capacity >= 0 && capacity <= 4294967295.0
                      ? AVAudioPCMBuffer::make(*outputFormat, static_cast<uint32_t>(capacity))
                      : nullptr;
    if (!output) {
        Logging::error("Failed to create output buffer");
        return nullptr;
    }
    const uint32_t readSize = static_cast<uint32_t>(std::min<int64_t>(maxReadFrameSize, std::max<int64_t>(frames, 1)));
    auto readBuffer = AVAudioPCMBuffer::make(fromFile.processingFormat(), readSize);
    if (!readBuffer) {
        Logging::error("Failed to create read buffer");
        return nullptr;
    }

    while (position < endPosition) {
        const int64_t p = fromFile.framePosition();
        const uint32_t toRead = static_cast<uint32_t>(std::min<int64_t>(endPosition - p, readSize));
        position = p + toRead;
        if (debugEnabled()) {
            Logging::debug("Resampling " + foundation::format("%.2f", static_cast<double>(p) / inputRate) + "s - " +
                           foundation::format("%.2f", static_cast<double>(position) / inputRate) + "s");
        }
        try {
            fromFile.read(*readBuffer, toRead);
        } catch (const std::exception& e) {
            Logging::error("Error reading audio file: " + errorText(e));
            return nullptr;
        }
        auto mono = convertToMono(readBuffer, channelMode);
        if (!mono) {
            Logging::error("Failed to process audio channels");
            return nullptr;
        }
        auto resampled = resampleAudio(mono, outputFormat->sampleRate(), outputFormat->channelCount());
        if (!resampled) {
            Logging::error("Failed to resample audio chunk");
            return nullptr;
        }
        if (!appendContents(*output, *resampled, 0, resampled->frameLength())) {
            Logging::error("Failed to append audio chunk");
            return nullptr;
        }
        // A short read means the file yields no more (a damaged or truncated file): asking again at
        // the same position would never end.
        if (readBuffer->frameLength() < toRead) break;
    }
    return output;
}

AudioBuffer AudioProcessor::resampleAudio(const AudioBuffer& fromBuffer, double toSampleRate, uint32_t channelCount) {
    const auto outputFormat = AVAudioFormat::standard(toSampleRate, channelCount);
    if (!outputFormat) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    auto converter = AVAudioConverter::make(fromBuffer->format(), *outputFormat);
    if (!converter) {
        Logging::error("Failed to create audio converter");
        return nullptr;
    }
    try {
        return resampleBuffer(fromBuffer, *converter);
    } catch (const std::exception& e) {
        Logging::error("Failed to resample buffer: " + errorText(e));
        return nullptr;
    }
}

AudioBuffer AudioProcessor::resampleBuffer(const AudioBuffer& buffer, AVAudioConverter& with) {
    const double exact =
        with.outputFormat().sampleRate() * static_cast<double>(buffer->frameLength()) / with.inputFormat().sampleRate();
    double capacity = exact;
    if (exact != std::trunc(exact)) {
        capacity = std::max(1.0, std::nearbyint(exact));
        if (debugEnabled()) {
            Logging::debug("Rounding buffer frame capacity from " + foundation::formatDouble(exact) + " to " +
                           foundation::formatDouble(capacity) + " to better fit new sample rate");
        }
    }
    auto output = std::isfinite(capacity) && capacity >= 0 && capacity <= 4294967295.0
                      ? AVAudioPCMBuffer::make(with.outputFormat(), static_cast<uint32_t>(capacity))
                      : nullptr;
    if (!output) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
    // The frames go in once; after that the input has ended and the resampler hands out what it
    // still holds. Handing the same frames over again would repeat them in the output.
    bool fed = false;
    std::optional<avfoundation::AVAudioError> error;
    const auto status = with.convert(*output, error, [&](uint32_t, avfoundation::AVAudioConverterInputStatus& s) {
        if (fed || buffer->frameLength() == 0) {
            s = avfoundation::AVAudioConverterInputStatus::endOfStream;
            return AudioBuffer();
        }
        fed = true;
        s = avfoundation::AVAudioConverterInputStatus::haveData;
        return buffer;
    });
    if (status == avfoundation::AVAudioConverterOutputStatus::error) {
        throw WhisperError::audioProcessingFailed("Error converting audio: " +
                                                  (error ? error->localizedDescription() : std::string("unknown")));
    }
    return output;
}

AudioBuffer AudioProcessor::convertToMono(const AudioBuffer& buffer, const ChannelMode& mode) {
    const auto& format = buffer->format();
    const uint32_t channels = format.channelCount();
    if (channels < 2) return buffer;
    if (format.isInterleaved()) {
        Logging::error("Buffer did not contain floatChannelData.");
        return nullptr;
    }
    const auto monoFormat = AVAudioFormat::standard(format.sampleRate(), 1);
    if (!monoFormat) {
        Logging::error("Failed to create AVAudioFormat object.");
        return nullptr;
    }
    auto mono = AVAudioPCMBuffer::make(*monoFormat, buffer->frameCapacity());
    if (!mono) {
        Logging::error("Failed to create mono buffer.");
        return nullptr;
    }
    const size_t n = buffer->frameLength();
    mono->setFrameLength(buffer->frameLength());
    const float* const* in = buffer->floatChannelData();
    float* out = mono->floatChannelData()[0];
    vDSP::vclr(out, n);

    if (const auto* specific = std::get_if<AudioInputConfig::SpecificChannel>(&mode)) {
        const int64_t index = specific->channel < 0 || specific->channel >= channels ? 0 : specific->channel;
        vDSP::mmov(in[index], out, n);
        return mono;
    }
    const auto& list = std::get<AudioInputConfig::SumChannels>(mode).channels;
    std::vector<int64_t> selected;
    if (!list || list->empty()) {
        for (uint32_t c = 0; c < channels; ++c) selected.push_back(c);
    } else {
        for (int64_t c : *list) {
            if (c >= 0 && c < channels) selected.push_back(c);
        }
        if (selected.empty()) {
            vDSP::mmov(in[0], out, n);
            Logging::debug("No valid channel indices provided, defaulting to first channel");
            return mono;
        }
    }
    float peakIn = 0;
    for (int64_t c : selected) peakIn = std::max(peakIn, vDSP::maxmgv(in[c], n));
    for (int64_t c : selected) vDSP::vadd(out, in[c], out, n);
    const float peakSum = vDSP::maxmgv(out, n);
    vDSP::vsmul(out, peakIn / std::max(peakSum, kMinimumSumPeak), out, n);
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(AVAudioPCMBuffer& buffer, uint32_t chunkSize) {
    const size_t n = buffer.frameLength();
    const size_t stride = buffer.stride();
    float* channel = buffer.floatChannelData()[0];
    const size_t chunk = chunkSize > 0 ? chunkSize : std::max<size_t>(n, 1);
    std::vector<float> samples;
    samples.reserve(n);
    for (size_t start = 0; start < n; start += chunk) {
        const size_t count = std::min(chunk, n - start);
        if (stride == 1) {
            samples.insert(samples.end(), channel + start, channel + start + count);
            vDSP::vclr(channel + start, count);
        } else {
            for (size_t i = start; i < start + count; ++i) {
                samples.push_back(channel[i * stride]);
                channel[i * stride] = 0;
            }
        }
    }
    return samples;
}

bool appendContents(AVAudioPCMBuffer& destination, const AVAudioPCMBuffer& source, int64_t startingFrame,
                    uint32_t frameCount) {
    if (destination.format() != source.format()) {
        Logging::debug("Format mismatch");
        return false;
    }
    if (startingFrame < 0 || startingFrame + static_cast<int64_t>(frameCount) > source.frameLength()) {
        Logging::error("Insufficient audio in buffer");
        return false;
    }
    if (static_cast<uint64_t>(destination.frameLength()) + frameCount > destination.frameCapacity()) {
        Logging::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = destination.frameCapacity() - destination.frameLength();
    }
    const size_t samplesPerFrame = destination.stride();
    const size_t planes = destination.format().isInterleaved() ? 1 : destination.format().channelCount();
    for (size_t c = 0; c < planes; ++c) {
        vDSP::mmov(source.floatChannelData()[c] + samplesPerFrame * static_cast<size_t>(startingFrame),
                   destination.floatChannelData()[c] + samplesPerFrame * destination.frameLength(),
                   samplesPerFrame * frameCount);
    }
    destination.setFrameLength(destination.frameLength() + frameCount);
    return true;
}

// ---- Live capture

AudioProcessor::AudioProcessor() : AudioProcessor(avfoundation::portAudioInputBackend()) {}

AudioProcessor::AudioProcessor(std::shared_ptr<avfoundation::AudioInputBackend> inputBackend)
    : inputBackend_(std::move(inputBackend)) {}

AudioProcessor::~AudioProcessor() { stopRecording(); }

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard guard(lock_);
    return audioSamples_;
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
    std::lock_guard guard(lock_);
    return audioEnergy_;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard guard(lock_);
    std::vector<float> rel;
    rel.reserve(audioEnergy_.size());
    for (const auto& e : audioEnergy_) rel.push_back(e.rel);
    return rel;
}

void AudioProcessor::purgeAudioSamples(int64_t keepingLast) {
    std::lock_guard guard(lock_);
    const size_t keep = static_cast<size_t>(std::max<int64_t>(keepingLast, 0));
    if (audioSamples_.size() > keep) audioSamples_.erase(audioSamples_.begin(), audioSamples_.end() - keep);
}

int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard guard(lock_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(int64_t window) {
    std::lock_guard guard(lock_);
    relativeEnergyWindow_ = window;
}

AudioBufferCallback AudioProcessor::audioBufferCallback() const {
    std::lock_guard guard(lock_);
    return audioBufferCallback_;
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
    std::lock_guard guard(lock_);
    audioBufferCallback_ = std::move(callback);
}

int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard guard(lock_);
    return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(int64_t length) {
    std::lock_guard guard(lock_);
    minBufferLength_ = length;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard guard(lock_);
    return isInputSuppressed_;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard guard(lock_);
    isInputSuppressed_ = suppressed;
}

std::shared_ptr<avfoundation::AVAudioEngine> AudioProcessor::audioEngine() const {
    std::lock_guard guard(lock_);
    return audioEngine_;
}

std::shared_ptr<avfoundation::AVAudioEngine> AudioProcessor::setupEngine(std::optional<uint32_t> inputDeviceID) {
    auto engine = std::make_shared<avfoundation::AVAudioEngine>(inputBackend_);
    auto& node = engine->inputNode();
    if (inputDeviceID) {
        const int32_t status = node.setCurrentDevice(*inputDeviceID);
        if (status == 0) {
            Logging::info("Successfully set input device.");
        } else {
            Logging::error("Error setting Audio Unit property: " + std::to_string(status));
        }
    }
    const double hardwareRate = node.inputFormat(0).sampleRate();
    const AVAudioFormat output = node.outputFormat(0);
    const auto nodeFormat = AVAudioFormat::make(output.commonFormat(), hardwareRate, output.channelCount(), output.isInterleaved());
    if (!nodeFormat) throw WhisperError::audioProcessingFailed("Failed to create node format");
    const auto desired = AVAudioFormat::make(avfoundation::AVAudioCommonFormat::pcmFormatFloat32, kTargetRate, 1, false);
    if (!desired) throw WhisperError::audioProcessingFailed("Failed to create desired format");
    std::shared_ptr<AVAudioConverter> converter = AVAudioConverter::make(*nodeFormat, *desired);
    if (!converter) throw WhisperError::audioProcessingFailed("Failed to create audio converter");

    int64_t bufferLength = 0;
    {
        std::lock_guard guard(lock_);
        bufferLength = minBufferLength_;
    }
    std::weak_ptr<AudioProcessor> weakSelf = weak_from_this();
    node.installTap(0, static_cast<uint32_t>(std::clamp<int64_t>(bufferLength, 1, std::numeric_limits<uint32_t>::max())),
                    *nodeFormat, [weakSelf, converter](const AudioBuffer& buffer, const avfoundation::AVAudioTime&) {
                        if (auto self = weakSelf.lock()) self->handleTapBuffer(buffer, converter.get());
                    });
    engine->prepare();
    engine->start();
    return engine;
}

void AudioProcessor::handleTapBuffer(const AudioBuffer& buffer, AVAudioConverter* converter) {
    AudioBuffer converted = buffer;
    if (buffer->format().sampleRate() != kTargetRate) {
        try {
            converted = resampleLiveBuffer(buffer, *converter);
        } catch (const std::exception& e) {
            Logging::error("Failed to resample buffer: " + errorText(e));
            return;
        }
    }
    auto samples = convertBufferToArray(*converted, kArrayChunkSize);
    if (isInputSuppressed()) std::fill(samples.begin(), samples.end(), 0.0f);
    processBuffer(samples);
}

void AudioProcessor::processBuffer(const std::vector<float>& buffer) {
    const EnergyStats stats = calculateEnergy(buffer);
    AudioEnergy record;
    AudioBufferCallback callback;
    size_t sampleCount = 0;
    int64_t logInterval = 0;
    {
        std::lock_guard guard(lock_);
        audioSamples_.insert(audioSamples_.end(), buffer.begin(), buffer.end());
        float floor = std::numeric_limits<float>::infinity();
        const size_t first = audioEnergy_.size() > kEnergyFloorRecords ? audioEnergy_.size() - kEnergyFloorRecords : 0;
        for (size_t i = first; i < audioEnergy_.size(); ++i) floor = std::min(floor, audioEnergy_[i].avg);
        record = {relativeLevel(stats.avg, std::max(floor, 1e-8f)), stats.avg, stats.max, stats.min};
        audioEnergy_.push_back(record);
        callback = audioBufferCallback_;
        sampleCount = audioSamples_.size();
        logInterval = minBufferLength_ * relativeEnergyWindow_;
    }
    if (callback) callback(buffer);
    if (logInterval > 0 && sampleCount % static_cast<size_t>(logInterval) == 0 && debugEnabled()) {
        Logging::debug("Current audio size: " + std::to_string(sampleCount) + " samples, most recent buffer: " +
                       std::to_string(buffer.size()) + " samples, most recent energy: " + record.description());
    }
}

void AudioProcessor::startRecordingLive(std::optional<uint32_t> inputDeviceID, AudioBufferCallback callback) {
    {
        std::lock_guard guard(lock_);
        audioSamples_.clear();
        audioEnergy_.clear();
    }
    auto engine = setupEngine(inputDeviceID);
    std::shared_ptr<avfoundation::AVAudioEngine> previous;
    {
        std::lock_guard guard(lock_);
        previous = std::exchange(audioEngine_, engine);
        audioBufferCallback_ = std::move(callback);
        lastInputDevice_ = inputDeviceID;
    }
    // The earlier engine, if any, is dropped here, outside the lock its tap takes.
}

std::pair<AudioSampleStream, AudioSampleStream::Continuation> AudioProcessor::startStreamingRecordingLive(
    std::optional<uint32_t> inputDeviceID) {
    auto [stream, continuation] = AudioSampleStream::makeStream();
    std::weak_ptr<AudioProcessor> weakSelf = weak_from_this();
    continuation.setOnTermination([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->setAudioBufferCallback(nullptr);
            self->stopRecording();
        }
    });
    try {
        startRecordingLive(inputDeviceID, [continuation](const std::vector<float>& samples) { continuation.yield(samples); });
    } catch (...) {
        continuation.finish(std::current_exception());
    }
    return {std::move(stream), continuation};
}

void AudioProcessor::pauseRecording() {
    if (auto engine = audioEngine()) engine->pause();
}

void AudioProcessor::stopRecording() {
    std::shared_ptr<avfoundation::AVAudioEngine> engine;
    {
        std::lock_guard guard(lock_);
        engine = std::move(audioEngine_);
        audioEngine_ = nullptr;
    }
    if (!engine) return;
    engine->inputNode().removeTap(0);
    engine->stop();
    engine->reset();
}

void AudioProcessor::resumeRecordingLive(std::optional<uint32_t> inputDeviceID, AudioBufferCallback callback) {
    std::optional<uint32_t> last;
    std::shared_ptr<avfoundation::AVAudioEngine> engine;
    {
        std::lock_guard guard(lock_);
        last = lastInputDevice_;
        engine = audioEngine_;
    }
    if (inputDeviceID == last) {
        if (engine) engine->start();
    } else {
        auto fresh = setupEngine(inputDeviceID);
        std::lock_guard guard(lock_);
        engine = std::exchange(audioEngine_, fresh);
    }
    if (callback) setAudioBufferCallback(std::move(callback));
}

bool AudioProcessor::requestRecordPermission() { return avfoundation::AVAudioApplication::requestRecordPermission(); }

std::vector<AudioDevice> AudioProcessor::getAudioDevices(const std::shared_ptr<avfoundation::AudioInputBackend>& backend) {
    std::vector<AudioDevice> devices;
    if (!backend) return devices;
    for (const auto& d : backend->inputDevices()) {
        if (d.inputChannels > 0) devices.push_back({d.id, d.name});
    }
    return devices;
}

// ---- Energy

bool AudioProcessor::isVoiceDetected(std::span<const float> in, float nextBufferInSeconds, float silenceThreshold) {
    const float frames = nextBufferInSeconds / 0.1f;
    const size_t n = frames > 0 && !std::isnan(frames)
                         ? static_cast<size_t>(std::min<float>(frames, static_cast<float>(in.size())))
                         : 0;
    const auto recent = in.last(std::min(n, in.size()));
    const size_t k = recent.size();
    const size_t windowSize = std::min(k, std::max<size_t>(k > 10 ? k - 10 : 0, 10));
    const auto window = recent.first(windowSize);
    return std::any_of(window.begin(), window.end(), [&](float e) { return e > silenceThreshold; });
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> of) { return vDSP::rmsqv(of.data(), of.size()); }

EnergyStats AudioProcessor::calculateEnergy(std::span<const float> of) {
    return {vDSP::rmsqv(of.data(), of.size()), vDSP::maxmgv(of.data(), of.size()), vDSP::minmgv(of.data(), of.size())};
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> of, std::optional<float> relativeTo) {
    const float reference = relativeTo ? std::max(*relativeTo, 1e-8f) : 0.001f;
    return relativeLevel(calculateAverageEnergy(of), reference);
}

std::vector<SampleRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> in) {
    return EnergyVAD().calculateActiveChunks(in);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> of, int64_t chunkCount,
                                                                 int64_t frameLengthSamples, int64_t frameOverlapSamples,
                                                                 float energyThreshold) {
    std::vector<bool> voiced(static_cast<size_t>(std::max<int64_t>(chunkCount, 0)));
    const int64_t count = static_cast<int64_t>(of.size());
    for (int64_t i = 0; i < chunkCount; ++i) {
        const int64_t start = std::min(i * frameLengthSamples, count);
        const int64_t end = std::min(start + frameLengthSamples + frameOverlapSamples, count);
        const float energy = end > start ? vDSP::rmsqv(of.data() + start, static_cast<size_t>(end - start)) : 0.0f;
        voiced[static_cast<size_t>(i)] = energy > energyThreshold;
    }
    return voiced;
}

}  // namespace lexiphonic
