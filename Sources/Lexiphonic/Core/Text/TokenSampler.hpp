#pragma once
// Choosing the next token from one step's (filtered) logits.
#include <cstdint>
#include <functional>
#include <vector>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic {

struct SamplingResult {
    std::vector<int64_t> tokens;  // the window's tokens, the new one last
    std::vector<float> logProbs;  // the given list with the new token's natural-log probability appended
    bool completed = false;       // the window is finished

    bool operator==(const SamplingResult&) const = default;
};

class TokenSampling {
public:
    virtual ~TokenSampling() = default;
    virtual SamplingResult update(const std::vector<int64_t>& tokens, const coreml::MLMultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    virtual SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) = 0;
};

// The most likely token at temperature 0; otherwise a draw from the `topK` most likely tokens of
// softmax(logits / temperature).
class GreedyTokenSampler : public TokenSampling {
public:
    // Uniform floats in [0, 1).
    using RandomSource = std::function<float()>;

    // Without a random source the system's generator is used (unseeded, not reproducible).
    GreedyTokenSampler(coreml::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions,
                       RandomSource randomSource = {});

    // Completed exactly when the new token is `eotToken`.
    SamplingResult update(const std::vector<int64_t>& tokens, const coreml::MLMultiArray& logits,
                          const std::vector<float>& logProbs) override;
    // Ends the lists with `eotToken` (log-probability 0) unless they already end with it.
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override;

    struct Sample {
        int64_t token = 0;
        float logprob = 0;
    };
    // One draw. A `topK` outside [1, vocabulary] is clamped into it. When no distribution can be formed
    // (every logit masked, or a NaN among them) the token is the largest logit and its log-probability
    // is -inf.
    Sample sample(const coreml::MLMultiArray& logits) const;

    coreml::Float16 temperature;
    int64_t eotToken;
    DecodingOptions decodingOptions;  // only `topK` is read
    RandomSource randomSource;
};

// Beam search exists in the interface only: it checks its parameters, and sampling with it fails.
class BeamSearchTokenSampler : public TokenSampling {
public:
    // Throws foundation::RuntimeError "Invalid beam size <b> or patience <p>" when beamSize x patience,
    // truncated toward zero, is not a positive integer.
    BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience = 1.0f);

    void reset() { finishedSequences.clear(); }
    // Both throw foundation::RuntimeError "Not implemented: ...".
    SamplingResult update(const std::vector<int64_t>& tokens, const coreml::MLMultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override;

    int64_t beamSize;
    int64_t eotToken;
    float patience;
    int64_t maxCandidates;
    std::vector<float> finishedSequences;
};

}  // namespace lexiphonic
