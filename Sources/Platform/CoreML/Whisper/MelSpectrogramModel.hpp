#pragma once
// The log-mel front end: one 30-s window of 16 kHz samples -> [n_mels, 3000] features.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

namespace coreml::whisper {

constexpr int kWindowSamples = 480000;
constexpr int kFFTSize = 400;
constexpr int kHopLength = 160;
constexpr int kFrequencyBins = kFFTSize / 2 + 1;  // 201
constexpr int kMelFrames = 3000;

class MelSpectrogramModel {
public:
    // Tensor "mel_filters": [n_mels, 201].
    MelSpectrogramModel(int melCount, const TensorLookup& tensors);
    ~MelSpectrogramModel();

    int melCount() const { return melCount_; }
    // audio: kWindowSamples floats; out: melCount * kMelFrames halves, band-major.
    void compute(const float* audio, uint16_t* out) const;

private:
    struct Scratch;
    int melCount_;
    std::vector<float> filters_;  // [n_mels, 201]
    std::vector<float> basis_;    // [402, 400]: windowed cosines, then windowed sines
    std::unique_ptr<ScratchPool<Scratch>> scratch_;
};

}  // namespace coreml::whisper
