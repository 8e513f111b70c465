#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"

#include <algorithm>
#include <cmath>

#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/CoreML/Whisper/ParallelFor.hpp"

namespace coreml::whisper {

struct MelSpectrogramModel::Scratch {
    std::vector<float> frames;    // [3000, 400]
    std::vector<float> spectrum;  // [3000, 402]
    std::vector<float> power;     // [3000, 201]
    std::vector<float> mel;       // [3000, n_mels]
};

MelSpectrogramModel::MelSpectrogramModel(int melCount, const TensorLookup& tensors) : melCount_(melCount) {
    if (melCount <= 0) throw WhisperModelError("The mel band count must be positive");
    filters_ = loadFloat(tensors, "mel_filters", {melCount, kFrequencyBins});
    // A DFT of 400 points as one matrix product: the sgemm does the work of an FFT at this size,
    // and the window is folded into the basis. Angles in double, reduced exactly modulo 400.
    basis_.resize(static_cast<size_t>(2 * kFrequencyBins) * kFFTSize);
    const double pi = 3.14159265358979323846;
    for (int n = 0; n < kFFTSize; ++n) {
        double window = 0.5 - 0.5 * std::cos(2.0 * pi * n / kFFTSize);  // periodic Hann
        for (int k = 0; k < kFrequencyBins; ++k) {
            double angle = 2.0 * pi * static_cast<double>((k * n) % kFFTSize) / kFFTSize;
            basis_[static_cast<size_t>(k) * kFFTSize + n] = static_cast<float>(window * std::cos(angle));
            basis_[static_cast<size_t>(kFrequencyBins + k) * kFFTSize + n] = static_cast<float>(-window * std::sin(angle));
        }
    }
    int mels = melCount_;
    scratch_ = std::make_unique<ScratchPool<Scratch>>([mels] {
        auto s = std::make_unique<Scratch>();
        s->frames.resize(static_cast<size_t>(kMelFrames) * kFFTSize);
        s->spectrum.resize(static_cast<size_t>(kMelFrames) * 2 * kFrequencyBins);
        s->power.resize(static_cast<size_t>(kMelFrames) * kFrequencyBins);
        s->mel.resize(static_cast<size_t>(kMelFrames) * mels);
        return s;
    });
}

MelSpectrogramModel::~MelSpectrogramModel() = default;

void MelSpectrogramModel::compute(const float* audio, uint16_t* out) const {
    auto lease = scratch_->take();
    Scratch& s = *lease;
    const int n = kWindowSamples, pad = kFFTSize / 2;
    // Frames of the reflect-padded signal; only the first 3000 of the 3001 frames are kept.
    parallelFor(kMelFrames, 64, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) {
            float* frame = s.frames.data() + t * kFFTSize;
            long start = static_cast<long>(t) * kHopLength - pad;
            if (start >= 0 && start + kFFTSize <= n) {
                std::copy(audio + start, audio + start + kFFTSize, frame);
                continue;
            }
            for (int i = 0; i < kFFTSize; ++i) {
                long p = start + i;
                if (p < 0) p = -p;
                if (p >= n) p = 2L * (n - 1) - p;
                frame[i] = audio[p];
            }
        }
    });
    matmulTransB(s.frames.data(), kFFTSize, basis_.data(), kFFTSize, s.spectrum.data(), 2 * kFrequencyBins,
                 kMelFrames, 2 * kFrequencyBins, kFFTSize, 1.0f, 0.0f);
    parallelFor(kMelFrames, 64, [&](size_t b, size_t e) {
        for (size_t t = b; t < e; ++t) {
            const float* x = s.spectrum.data() + t * 2 * kFrequencyBins;
            float* p = s.power.data() + t * kFrequencyBins;
            for (int k = 0; k < kFrequencyBins; ++k) p[k] = x[k] * x[k] + x[kFrequencyBins + k] * x[kFrequencyBins + k];
        }
    });
    matmulTransB(s.power.data(), kFrequencyBins, filters_.data(), kFrequencyBins, s.mel.data(), melCount_,
                 kMelFrames, melCount_, kFrequencyBins, 1.0f, 0.0f);
    const size_t total = static_cast<size_t>(kMelFrames) * melCount_;
    std::vector<float> partialMax(64, -INFINITY);
    const size_t chunk = (total + 63) / 64;
    parallelFor(64, 1, [&](size_t b, size_t e) {
        for (size_t c = b; c < e; ++c) {
            float m = -INFINITY;
            for (size_t i = c * chunk; i < std::min(total, (c + 1) * chunk); ++i) {
                float v = std::log10(std::max(s.mel[i], 1e-10f));
                s.mel[i] = v;
                m = std::max(m, v);
            }
            partialMax[c] = m;
        }
    });
    const float floor = *std::max_element(partialMax.begin(), partialMax.end()) - 8.0f;
    // Band-major output: transpose while normalising.
    const int mels = melCount_;
    parallelFor(static_cast<size_t>(mels), 1, [&](size_t b, size_t e) {
        float row[kMelFrames];
        for (size_t m = b; m < e; ++m) {
            for (int t = 0; t < kMelFrames; ++t) row[t] = (std::max(s.mel[static_cast<size_t>(t) * mels + m], floor) + 4.0f) / 4.0f;
            floatToHalf(row, out + m * kMelFrames, kMelFrames);
        }
    });
}

}  // namespace coreml::whisper
