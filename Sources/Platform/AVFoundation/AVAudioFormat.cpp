#include "Platform/AVFoundation/AVAudioFormat.hpp"

#include <cmath>

#include "Platform/Foundation/Numbers.hpp"

namespace avfoundation {

namespace {

// Far beyond any real device or file; keeps channels x frames well inside 64 bits.
constexpr uint32_t kMaxChannels = 1024;

const char* commonFormatName(AVAudioCommonFormat f) {
    switch (f) {
        case AVAudioCommonFormat::pcmFormatFloat32: return "Float32";
        case AVAudioCommonFormat::pcmFormatFloat64: return "Float64";
        case AVAudioCommonFormat::pcmFormatInt16: return "Int16";
        case AVAudioCommonFormat::pcmFormatInt32: return "Int32";
        case AVAudioCommonFormat::otherFormat: break;
    }
    return "Other";
}

}  // namespace

std::optional<AVAudioFormat> AVAudioFormat::make(AVAudioCommonFormat commonFormat, double sampleRate,
                                                 uint32_t channelCount, bool interleaved) {
    AVAudioFormat format(commonFormat, sampleRate, channelCount, interleaved);
    if (!format.isValid()) return std::nullopt;
    return format;
}

std::optional<AVAudioFormat> AVAudioFormat::standard(double sampleRate, uint32_t channelCount) {
    return make(AVAudioCommonFormat::pcmFormatFloat32, sampleRate, channelCount, false);
}

bool AVAudioFormat::isValid() const {
    return commonFormat_ != AVAudioCommonFormat::otherFormat && std::isfinite(sampleRate_) && sampleRate_ > 0 &&
           channelCount_ >= 1 && channelCount_ <= kMaxChannels;
}

bool AVAudioFormat::isStandard() const {
    return isValid() && commonFormat_ == AVAudioCommonFormat::pcmFormatFloat32 && !interleaved_;
}

uint32_t AVAudioFormat::bytesPerSample() const {
    switch (commonFormat_) {
        case AVAudioCommonFormat::pcmFormatFloat32: return 4;
        case AVAudioCommonFormat::pcmFormatFloat64: return 8;
        case AVAudioCommonFormat::pcmFormatInt16: return 2;
        case AVAudioCommonFormat::pcmFormatInt32: return 4;
        case AVAudioCommonFormat::otherFormat: break;
    }
    return 0;
}

uint32_t AVAudioFormat::bytesPerFrame() const { return bytesPerSample() * (interleaved_ ? channelCount_ : 1); }

std::string AVAudioFormat::description() const {
    return std::to_string(channelCount_) + " ch, " + foundation::formatDouble(sampleRate_) + " Hz, " +
           commonFormatName(commonFormat_) + (interleaved_ ? ", interleaved" : ", deinterleaved");
}

}  // namespace avfoundation
