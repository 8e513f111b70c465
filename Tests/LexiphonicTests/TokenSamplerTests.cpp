#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Text/LogitsMath.hpp"
#include "Lexiphonic/Core/Text/TokenSampler.hpp"
#include "Platform/CoreML/MLTensor.hpp"
#include "Platform/Foundation/Error.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using coreml::Float16;
using coreml::MLTensor;

namespace {

const float kNegInf = -std::numeric_limits<float>::infinity();

DecodingOptions withTopK(int64_t topK) {
    DecodingOptions options;
    options.topK = topK;
    return options;
}

GreedyTokenSampler sampler(float temperature, int64_t topK, float u) {
    return GreedyTokenSampler(static_cast<Float16>(temperature), kEnd, withTopK(topK), [u] { return u; });
}

// The sampling contract written with tensor operations, step by step: the reference the fast path
// must follow.
GreedyTokenSampler::Sample reference(const coreml::MLMultiArray& logitsArray, Float16 temperature, int64_t k, float u) {
    MLTensor x = MLTensor(logitsArray).cast(coreml::MLTensorScalarType::float32);
    if (temperature != static_cast<Float16>(0)) x = x / static_cast<double>(static_cast<float>(temperature));
    const MLTensor probs = x.softmax(-1);
    if (temperature == static_cast<Float16>(0)) {
        const MLTensor token = x.argmax(-1);
        return {token.scalars<int32_t>()[0],
                probs.gathering(token, -1).log().scalars<float>()[0]};
    }
    const auto [values, indices] = probs.topK(k);
    const float threshold = values.sum().scalars<float>()[0] * u;
    MLTensor c = values.cumulativeSum(-1);
    c = c + c.lessThan(static_cast<double>(threshold)).cast(coreml::MLTensorScalarType::float32) * 100.0;
    // The first of the smallest pushed sums: the first candidate whose running sum reaches the threshold.
    const MLTensor sel(std::vector<int32_t>{c.argsort(-1).scalars<int32_t>()[0]}, {1, 1, 1});
    return {indices.gathering(sel, -1).scalars<int32_t>()[0], values.gathering(sel, -1).log().scalars<float>()[0]};
}

}  // namespace

TEST(TokenSamplerTests, FollowsTheTensorContract) {
    std::mt19937 generator(7);
    std::normal_distribution<float> normal(0.0f, 3.0f);
    for (int trial = 0; trial < 6; ++trial) {
        std::vector<float> values(kVocabulary);
        for (auto& v : values) v = normal(generator);
        values[static_cast<size_t>(trial * 97)] = 12.0f;  // a clear favourite
        values[static_cast<size_t>(trial * 31 + 5)] = kNegInf;
        auto array = logits(values);
        for (float temperature : {0.0f, 0.2f, 0.6f, 1.0f}) {
            for (float u : {0.0f, 0.3f, 0.9999f}) {
                const auto expected = reference(*array, static_cast<Float16>(temperature), 5, u);
                const auto actual = sampler(temperature, 5, u).sample(*array);
                EXPECT_EQ(actual.token, expected.token) << trial << " " << temperature << " " << u;
                EXPECT_NEAR(actual.logprob, expected.logprob, 1e-4f * std::max(1.0f, std::abs(expected.logprob)));
            }
        }
    }
}

TEST(TokenSamplerTests, GreedyTakesTheFirstLargestLogit) {
    const auto result = sampler(0, 5, 0.5f).sample(*logits({1, 3, 3, -2}));
    EXPECT_EQ(result.token, 1);
    const double expected = -std::log(std::exp(1 - 3.0) + 2 + std::exp(-5.0));
    EXPECT_NEAR(result.logprob, expected, 1e-6);
}

TEST(TokenSamplerTests, TopKEdges) {
    const auto array = logits({0, 4, 1, 3, kNegInf, 2});
    // One candidate is always the most likely token, whatever the draw.
    for (float u : {0.0f, 0.5f, 0.9999f}) EXPECT_EQ(sampler(1.0f, 1, u).sample(*array).token, 1);
    // K outside [1, vocabulary] is clamped: 0 and negatives act as 1, a huge K as the whole vocabulary.
    EXPECT_EQ(sampler(1.0f, 0, 0.9f).sample(*array).token, 1);
    EXPECT_EQ(sampler(1.0f, -7, 0.9f).sample(*array).token, 1);
    const auto wide = sampler(1.0f, 1000, 0.9999f).sample(*array);
    EXPECT_EQ(wide.token, 0);  // the last candidate with any probability
    EXPECT_NEAR(wide.logprob, std::log(1 / (1 + std::exp(4.0) + std::exp(1.0) + std::exp(3.0) + std::exp(2.0))), 1e-5);
    // A masked token is never drawn while an unmasked one is among the candidates.
    const auto masked = logits({kNegInf, 2, kNegInf, kNegInf});
    for (float u : {0.0f, 0.5f, 0.9999f}) EXPECT_EQ(sampler(0.7f, 4, u).sample(*masked).token, 1);
}

TEST(TokenSamplerTests, NoDistributionFallsBackToTheLargestLogit) {
    const auto allMasked = logits({kNegInf, kNegInf, kNegInf});
    for (float temperature : {0.0f, 0.5f}) {
        const auto result = sampler(temperature, 2, 0.5f).sample(*allMasked);
        EXPECT_EQ(result.token, 0);
        EXPECT_EQ(result.logprob, kNegInf);
    }
    const auto withNaN = logits({1, std::nanf(""), 5, 2});
    EXPECT_EQ(sampler(0.5f, 3, 0.5f).sample(*withNaN).token, 2);
    // A NaN temperature counts as non-zero; nothing undefined follows.
    EXPECT_EQ(sampler(std::nanf(""), 3, 0.5f).sample(*logits({1, 5, 2})).token, 1);
}

TEST(TokenSamplerTests, UpdateAndFinalize) {
    auto s = sampler(0, 5, 0.5f);
    std::vector<float> eotFavoured(kVocabulary, 0.0f);
    eotFavoured[kEnd] = 9;
    auto done = s.update({1, 2}, *logits(eotFavoured), {-0.5f});
    EXPECT_EQ(done.tokens, (std::vector<int64_t>{1, 2, kEnd}));
    ASSERT_EQ(done.logProbs.size(), 2u);
    EXPECT_EQ(done.logProbs[0], -0.5f);
    EXPECT_TRUE(done.completed);
    EXPECT_FALSE(s.update({1}, *logits({0, 9}), {0}).completed);

    EXPECT_EQ(s.finalize({}, {}), (SamplingResult{{kEnd}, {0.0f}, true}));
    EXPECT_EQ(s.finalize({4, kEnd}, {-1, -2}), (SamplingResult{{4, kEnd}, {-1, -2}, true}));
    EXPECT_EQ(s.finalize({4}, {-1}), (SamplingResult{{4, kEnd}, {-1, 0}, true}));
}

TEST(TokenSamplerTests, BeamSearchOnlyChecksItsParameters) {
    BeamSearchTokenSampler beam(5, kEnd, 1.0f);
    EXPECT_EQ(beam.maxCandidates, 5);
    try {
        BeamSearchTokenSampler(5, kEnd, 0.1f);
        FAIL() << "a beam of 0.5 candidates was accepted";
    } catch (const foundation::Error& error) {
        EXPECT_EQ(error.localizedDescription(), "Invalid beam size 5 or patience 0.1");
    }
    EXPECT_THROW(BeamSearchTokenSampler(5, kEnd, std::nanf("")), foundation::Error);
    EXPECT_THROW(beam.update({}, *logits({1}), {}), foundation::Error);
    EXPECT_THROW(beam.finalize({}, {}), foundation::Error);
}

TEST(TokenSamplerTests, VectorAndScalarKernelsAgree) {
    using namespace logitsmath;
    std::mt19937 generator(3);
    std::normal_distribution<float> normal(0.0f, 4.0f);
    std::vector<float> values(5003);
    for (auto& v : values) v = normal(generator);
    values[17] = kNegInf;
    values[4000] = 25.0f;
    for (Path path : {Path::scalar, Path::avx2}) {
        if (!isSupported(path)) continue;  // a CPU without AVX2 runs the scalar path only
        const auto& k = kernels(path);
        EXPECT_EQ(k.maxValue(values.data(), values.size()), 25.0f);
        double expected = 0;
        for (float v : values) expected += std::exp(static_cast<double>(v) - 25.0);
        EXPECT_NEAR(k.sumExp(values.data(), values.size(), 25.0f), expected, 1e-6 * expected);
        EXPECT_EQ(argmax(values.data(), values.size(), k), 4000u);

        std::vector<float> masked(37, kNegInf);
        EXPECT_EQ(k.maxValue(masked.data(), masked.size()), kNegInf);
        EXPECT_EQ(k.sumExp(masked.data(), masked.size(), 0.0f), 0.0);
        masked[20] = std::nanf("");
        EXPECT_TRUE(std::isnan(k.sumExp(masked.data(), masked.size(), 0.0f)));
        EXPECT_EQ(k.maxValue(masked.data(), masked.size()), kNegInf);  // NaN is skipped
        EXPECT_EQ(argmax(masked.data(), masked.size(), k), 0u);
    }
}
