#include "Lexiphonic/Core/Text/TokenSampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "Lexiphonic/Core/Text/LogitsMath.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace lexiphonic {
namespace {

float systemUniform() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<float>(generator() >> 8) * 0x1.0p-24f;  // 24 random bits: always below 1
}

// The `k` largest values, descending, equal values in index order.
std::vector<size_t> topIndices(const float* x, size_t n, size_t k) {
    std::vector<size_t> top;
    top.reserve(k);
    if (k <= 64) {
        for (size_t i = 0; i < n; ++i) {
            if (top.size() == k && !(x[i] > x[top.back()])) continue;
            if (top.size() < k) top.push_back(i);
            size_t at = top.size() - 1;
            while (at > 0 && x[i] > x[top[at - 1]]) {
                top[at] = top[at - 1];
                --at;
            }
            top[at] = i;
        }
        return top;
    }
    top.resize(n);
    std::iota(top.begin(), top.end(), size_t{0});
    std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(k), top.end(),
                      [x](size_t a, size_t b) { return x[a] > x[b] || (x[a] == x[b] && a < b); });
    top.resize(k);
    return top;
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(coreml::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions,
                                       RandomSource randomSource)
    : temperature(temperature),
      eotToken(eotToken),
      decodingOptions(std::move(decodingOptions)),
      randomSource(randomSource ? std::move(randomSource) : RandomSource(systemUniform)) {}

GreedyTokenSampler::Sample GreedyTokenSampler::sample(const coreml::MLMultiArray& logits) const {
    thread_local std::vector<float> x;
    logitsmath::widen(logits, x);
    const size_t n = x.size();
    if (n == 0) return {eotToken, -std::numeric_limits<float>::infinity()};
    const auto& kernels = logitsmath::kernels();

    // A half-precision comparison: any other value, NaN included, samples.
    const bool greedy = temperature == static_cast<coreml::Float16>(0);
    if (!greedy) {
        const float t = static_cast<float>(temperature);
        for (float& v : x) v /= t;
    }
    // softmax(x)_i = exp(x_i - max) / total, each probability a float as the tensor runtime keeps it.
    const float maximum = kernels.maxValue(x.data(), n);
    const double total = maximum == -std::numeric_limits<float>::infinity()
                             ? std::numeric_limits<double>::quiet_NaN()
                             : kernels.sumExp(x.data(), n, maximum);
    auto probability = [&](size_t i) { return static_cast<float>(std::exp(static_cast<double>(x[i] - maximum)) / total); };
    auto logOf = [](float p) { return static_cast<float>(std::log(static_cast<double>(p))); };

    if (!(total > 0) || !std::isfinite(total)) {
        // The largest of the logits as given (a NaN temperature leaves nothing to rank after scaling).
        logitsmath::widen(logits, x);
        return {static_cast<int64_t>(logitsmath::argmax(x.data(), n, kernels)), -std::numeric_limits<float>::infinity()};
    }
    if (greedy) {
        const size_t token = logitsmath::argmax(x.data(), n, kernels);
        return {static_cast<int64_t>(token), logOf(probability(token))};
    }

    const size_t k = static_cast<size_t>(std::clamp<int64_t>(decodingOptions.topK, 1, static_cast<int64_t>(n)));
    const std::vector<size_t> candidates = topIndices(x.data(), n, k);
    std::vector<float> values(k);
    double sum = 0;
    for (size_t j = 0; j < k; ++j) {
        values[j] = probability(candidates[j]);
        sum += values[j];
    }
    if (!(sum > 0)) return {static_cast<int64_t>(candidates[0]), -std::numeric_limits<float>::infinity()};
    // The first candidate whose running sum reaches a threshold drawn uniformly below the sum.
    const float threshold = static_cast<float>(sum) * randomSource();
    size_t chosen = 0;
    double running = 0;
    for (size_t j = 0; j < k; ++j) {
        running += values[j];
        if (static_cast<float>(running) >= threshold) {
            chosen = j;
            break;
        }
    }
    return {static_cast<int64_t>(candidates[chosen]), logOf(values[chosen])};
}

SamplingResult GreedyTokenSampler::update(const std::vector<int64_t>& tokens, const coreml::MLMultiArray& logits,
                                          const std::vector<float>& logProbs) {
    const Sample next = sample(logits);
    SamplingResult result{tokens, logProbs, next.token == eotToken};
    result.tokens.push_back(next.token);
    result.logProbs.push_back(next.logprob);
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (tokens.empty() || tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0.0f);
    }
    return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience)
    : beamSize(beamSize), eotToken(eotToken), patience(patience), maxCandidates(0) {
    const float product = static_cast<float>(beamSize) * patience;
    // Truncated toward zero; a product that is not a number or beyond the integer range is refused too.
    if (!(product >= 1.0f) || product >= 0x1.0p63f)
        throw foundation::RuntimeError("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                                       foundation::formatFloat(patience));
    maxCandidates = static_cast<int64_t>(product);
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<int64_t>&, const coreml::MLMultiArray&,
                                              const std::vector<float>&) {
    throw foundation::RuntimeError("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<int64_t>&, const std::vector<float>&) {
    throw foundation::RuntimeError("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace lexiphonic
