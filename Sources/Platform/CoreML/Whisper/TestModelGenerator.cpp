#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

#include <cmath>
#include <string>

#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"

namespace coreml::whisper {

namespace {

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t hashName(const std::string& name) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::vector<float> sinusoidalPositions(int width) {
    std::vector<float> r(static_cast<size_t>(kEncoderFrames) * width);
    const int half = width / 2;
    const double increment = std::log(10000.0) / std::max(1, half - 1);
    for (int t = 0; t < kEncoderFrames; ++t)
        for (int i = 0; i < half; ++i) {
            double a = t * std::exp(-increment * i);
            r[static_cast<size_t>(t) * width + i] = static_cast<float>(std::sin(a));
            r[static_cast<size_t>(t) * width + half + i] = static_cast<float>(std::cos(a));
        }
    return r;
}

std::vector<float> melFilterbank(int melCount) {
    auto hzToMel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
    auto melToHz = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };
    std::vector<double> edges(melCount + 2);
    const double top = hzToMel(8000.0);
    for (int i = 0; i < melCount + 2; ++i) edges[i] = melToHz(top * i / (melCount + 1));
    std::vector<float> r(static_cast<size_t>(melCount) * kFrequencyBins, 0.0f);
    for (int m = 0; m < melCount; ++m) {
        double lo = edges[m], centre = edges[m + 1], hi = edges[m + 2];
        double norm = 2.0 / (hi - lo);
        for (int k = 0; k < kFrequencyBins; ++k) {
            double f = k * 16000.0 / kFFTSize;
            double w = 0;
            if (f > lo && f <= centre) w = (f - lo) / (centre - lo);
            else if (f > centre && f < hi) w = (hi - f) / (hi - centre);
            r[static_cast<size_t>(m) * kFrequencyBins + k] = static_cast<float>(w * norm);
        }
    }
    return r;
}

TensorSource randomWeights(const WhisperModelConfig& config, uint64_t seed) {
    const int width = config.width;
    return [width, seed](const std::string& name, const std::vector<int64_t>& shape) {
        size_t n = 1;
        for (auto s : shape) n *= static_cast<size_t>(s);
        if (name == "encoder.embed_positions.weight") return sinusoidalPositions(width);
        uint64_t state = seed ^ hashName(name);
        auto uniform = [&] { return static_cast<float>(static_cast<double>(splitmix(state) >> 11) * 0x1.0p-53 * 2.0 - 1.0); };
        std::vector<float> v(n);
        if (endsWith(name, "layer_norm.weight")) {
            for (auto& x : v) x = 1.0f + 0.1f * uniform();
        } else if (endsWith(name, ".bias")) {
            for (auto& x : v) x = 0.05f * uniform();
        } else {
            // Uniform with the fan-in variance keeps activations of order one through the layers.
            size_t fanIn = shape.size() >= 2 ? n / static_cast<size_t>(shape[0]) : 1;
            float scale = name.find("embed") != std::string::npos ? 0.5f : std::sqrt(3.0f / static_cast<float>(fanIn));
            for (auto& x : v) x = scale * uniform();
        }
        return v;
    };
}

void writeTestModel(const std::filesystem::path& folder, const TestModelOptions& options) {
    writeWhisperModels(folder, options.config, randomWeights(options.config, options.seed),
                       melFilterbank(options.config.melCount));
    if (options.writeTokenizer) writeTinyTokenizer(folder, options.config.vocabularySize);
}

}  // namespace coreml::whisper
