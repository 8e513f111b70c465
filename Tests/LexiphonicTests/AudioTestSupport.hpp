#pragma once
// Audio fixtures for the front-end tests: the speech clip the build synthesises, a temporary folder,
// and WAV files of any rate and channel count made from it inside the test.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AVFoundation/AVAudioConverter.hpp"
#include "Platform/AVFoundation/AVAudioFile.hpp"

namespace lexiphonic::testing {

inline const char* speechPath() { return QUORVEL_SPEECH; }

inline bool haveSpeech() { return std::filesystem::exists(speechPath()); }

#define SKIP_WITHOUT_SPEECH() \
    if (!::lexiphonic::testing::haveSpeech()) GTEST_SKIP() << "the build made no speech clip (espeak-ng and sox are missing)"

// The clip's 176,000 samples (16 kHz mono), read straight from the file.
inline std::vector<float> speechSamples() {
    avfoundation::AVAudioFile file(speechPath());
    auto buffer = avfoundation::AVAudioPCMBuffer::make(file.processingFormat(), static_cast<uint32_t>(file.length()));
    file.read(*buffer);
    const float* p = buffer->floatChannelData()[0];
    return std::vector<float>(p, p + buffer->frameLength());
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("lexiphonic-audio-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TemporaryFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// One channel at another rate, resampled in one go.
inline std::vector<float> resampled(const std::vector<float>& samples, double fromRate, double toRate) {
    if (fromRate == toRate) return samples;
    auto in = avfoundation::AVAudioPCMBuffer::make(*avfoundation::AVAudioFormat::standard(fromRate, 1),
                                                   static_cast<uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), in->floatChannelData()[0]);
    in->setFrameLength(static_cast<uint32_t>(samples.size()));
    auto converter = avfoundation::AVAudioConverter::make(in->format(), *avfoundation::AVAudioFormat::standard(toRate, 1));
    const auto capacity = static_cast<uint32_t>(std::ceil(samples.size() * toRate / fromRate)) + 16;
    auto out = avfoundation::AVAudioPCMBuffer::make(converter->outputFormat(), capacity);
    bool fed = false;
    std::optional<avfoundation::AVAudioError> error;
    converter->convert(*out, error, [&](uint32_t, avfoundation::AVAudioConverterInputStatus& status) {
        status = fed ? avfoundation::AVAudioConverterInputStatus::endOfStream
                     : avfoundation::AVAudioConverterInputStatus::haveData;
        const bool first = !fed;
        fed = true;
        return first ? in : nullptr;
    });
    const float* p = out->floatChannelData()[0];
    return std::vector<float>(p, p + out->frameLength());
}

// Writes planar channels (all of one length) as a WAV file.
inline void writeWav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, double rate,
                     avfoundation::AVAudioCommonFormat format = avfoundation::AVAudioCommonFormat::pcmFormatFloat32) {
    avfoundation::AVAudioFile file(path, {rate, static_cast<uint32_t>(channels.size()), format});
    const size_t frames = channels.empty() ? 0 : channels[0].size();
    auto buffer = avfoundation::AVAudioPCMBuffer::make(file.processingFormat(), static_cast<uint32_t>(frames));
    for (size_t c = 0; c < channels.size(); ++c) std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData()[c]);
    buffer->setFrameLength(static_cast<uint32_t>(frames));
    file.write(*buffer);
    file.close();
}

// The clip at `rate` with `channels` channels: channel c is the speech scaled by 1 / (c + 1).
inline std::vector<std::vector<float>> speechAt(double rate, int channels) {
    const auto mono = resampled(speechSamples(), 16000, rate);
    std::vector<std::vector<float>> out;
    for (int c = 0; c < channels; ++c) {
        out.push_back(mono);
        for (auto& v : out.back()) v /= static_cast<float>(c + 1);
    }
    return out;
}

}  // namespace lexiphonic::testing
