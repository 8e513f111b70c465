#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

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

std::vector<int> steeredTextTokenIds(int textTokens) {
    // " hello", " world", " and", " the" of the tiny tokenizer, then its numbered filler words: no
    // token comes twice, so the text compresses no better than speech does.
    std::vector<int> ids = {270, 265, 272, 258};
    ids.resize(static_cast<size_t>(std::max(textTokens, 0)));
    for (int k = 4; k < textTokens; ++k) ids[k] = 1000 + 37 * k;
    return ids;
}

TensorSource steeredWeights(TensorSource weights, const WhisperModelConfig& config, int textTokens) {
    const WhisperSpecialTokens special = whisperSpecialTokens(config.vocabularySize);
    auto idOf = [&](const std::string& content) {
        for (const auto& [id, text] : special.tokens)
            if (text == content) return id;
        throw WhisperModelError("No token " + content);
    };
    // The logits at position p choose the token at p + 1; the prompt <|startoftranscript|> <|en|>
    // <|transcribe|> (and <|notimestamps|> when asked) is given, so the text starts at position 3.
    constexpr int textStart = 3;
    const std::vector<int> text = steeredTextTokenIds(textTokens);
    if (textTokens < 1 || textStart + textTokens >= config.maxTargetPositions ||
        1000 + 37 * textTokens >= special.endOfText)
        throw WhisperModelError("Cannot steer the decoder to " + std::to_string(textTokens) + " tokens");
    std::vector<int> target(static_cast<size_t>(config.maxTargetPositions), special.endOfText);
    target[0] = idOf("<|en|>");
    target[1] = idOf("<|transcribe|>");
    target[2] = idOf("<|0.00|>");
    std::copy(text.begin(), text.end(), target.begin() + textStart);

    return [weights = std::move(weights), target, width = config.width, vocabulary = config.vocabularySize](
               const std::string& name, const std::vector<int64_t>& shape) {
        if (name != "decoder.embed_positions.weight") return weights(name, shape);
        // The logits are the final state against the token table, and the state is mostly the sum of
        // the two embeddings: a position row that is a large multiple of its target's token row
        // outweighs the current token and what the layers add.
        constexpr float gain = 32.0f;
        const std::vector<float> tokens = weights("decoder.embed_tokens.weight", {vocabulary, width});
        std::vector<float> rows(target.size() * static_cast<size_t>(width));
        for (size_t p = 0; p < target.size(); ++p)
            for (int i = 0; i < width; ++i)
                rows[p * width + i] = gain * tokens[static_cast<size_t>(target[p]) * width + i];
        return rows;
    };
}

void writeTestModel(const std::filesystem::path& folder, const TestModelOptions& options) {
    TensorSource weights = randomWeights(options.config, options.seed);
    if (options.steeredTextTokens) weights = steeredWeights(std::move(weights), options.config, *options.steeredTextTokens);
    writeWhisperModels(folder, options.config, weights, melFilterbank(options.config.melCount));
    if (options.writeTokenizer) writeTinyTokenizer(folder, options.config.vocabularySize);
}

}  // namespace coreml::whisper
