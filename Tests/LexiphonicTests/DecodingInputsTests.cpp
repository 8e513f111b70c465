#include <gtest/gtest.h>

#include "Lexiphonic/Core/Models/DecodingInputs.hpp"

using namespace lexiphonic;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;

namespace {

constexpr int64_t S = 8;

// Inputs with E = 2, S = 8, W = 4, masks filled with markers so untouched positions show.
std::shared_ptr<DecodingInputs> makeInputs() {
    auto f16 = [](std::vector<int64_t> shape) { return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16); };
    auto i32 = [](std::vector<int64_t> shape) { return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::int32); };
    auto inputs = std::make_shared<DecodingInputs>(std::vector<int64_t>{50258}, i32({1}), i32({1}), f16({1, 2, 1, S}),
                                                   f16({1, 2, 1, S}), f16({S, 4}), i32({1, S}), f16({1, S}),
                                                   f16({1, 2, 1, S}), f16({1, 2, 1, S}));
    for (int64_t i = 0; i < S; ++i) {
        inputs->kvCacheUpdateMask()->setValue(i, 5);
        inputs->decoderKeyPaddingMask()->setValue(i, 7);
    }
    return inputs;
}

std::vector<double> values(const MLMultiArray& array) {
    std::vector<double> out;
    for (int64_t i = 0; i < array.count(); ++i) out.push_back(array.value(i));
    return out;
}

}  // namespace

TEST(DecodingInputsTests, ResetToThePrefilledState) {
    const double X = -10000;
    struct Case {
        int64_t prefilled, context;
        std::vector<double> padding, update;
    };
    const std::vector<Case> cases = {
        {3, 8, {0, 0, 0, 0, X, X, X, X}, {0, 0, 0, 1, 0, 0, 0, 0}},
        {0, S, {0, X, X, X, X, X, X, X}, {1, 0, 0, 0, 0, 0, 0, 0}},  // the state right after preparation
        {10, 8, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1}},
        {2, 4, {0, 0, 0, X, 7, 7, 7, 7}, {0, 0, 1, 0, 5, 5, 5, 5}},  // positions from the context on untouched
        {0, 0, {7, 7, 7, 7, 7, 7, 7, 7}, {5, 5, 5, 5, 5, 5, 5, 5}},
        {-1, 8, {X, X, X, X, X, X, X, X}, {0, 0, 0, 0, 0, 0, 0, 0}},  // a negative size leaves no 1
        // A context beyond the masks or below zero never writes outside them.
        {3, 1000, {0, 0, 0, 0, X, X, X, X}, {0, 0, 0, 1, 0, 0, 0, 0}},
        {3, -5, {7, 7, 7, 7, 7, 7, 7, 7}, {5, 5, 5, 5, 5, 5, 5, 5}},
    };
    for (const auto& c : cases) {
        auto inputs = makeInputs();
        inputs->reset(c.prefilled, c.context);
        EXPECT_EQ(values(*inputs->decoderKeyPaddingMask()), c.padding) << c.prefilled << "/" << c.context;
        EXPECT_EQ(values(*inputs->kvCacheUpdateMask()), c.update) << c.prefilled << "/" << c.context;
        EXPECT_EQ(inputs->cacheLength()->value(0), static_cast<double>(c.prefilled));
    }
}

TEST(DecodingInputsTests, ResetKeepsCachesAndPrompt) {
    auto inputs = makeInputs();
    inputs->keyCache()->setValue(3, 1.5);
    inputs->valueCache()->setValue(5, -2.0);
    inputs->alignmentWeights()->setValue(1, 0.25);
    inputs->inputIds()->setValue(0, 50364);
    DecodingInputsType& type = *inputs;
    type.reset(2, S);
    EXPECT_EQ(inputs->keyCache()->value(3), 1.5);
    EXPECT_EQ(inputs->valueCache()->value(5), -2.0);
    EXPECT_EQ(inputs->alignmentWeights()->value(1), 0.25);
    EXPECT_EQ(type.inputIds()->value(0), 50364);
    EXPECT_EQ(type.initialPrompt(), std::vector<int64_t>{50258});

    // The cache snapshot shares arrays instead of copying them.
    DecodingCache cache{inputs->keyCache(), inputs->valueCache(), nullptr};
    inputs->keyCache()->setValue(0, 3.0);
    EXPECT_EQ(cache.keyCache->value(0), 3.0);
    EXPECT_FALSE(cache.alignmentWeights);
}
