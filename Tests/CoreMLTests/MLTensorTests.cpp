#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/CoreML/MLTensor.hpp"

using namespace coreml;

namespace {
const float kInf = std::numeric_limits<float>::infinity();
}

TEST(MLTensor, SoftmaxArgmaxAndLogFollowTheSamplersUse) {
    MLTensor logits(std::vector<float>{1, 3, 3, -kInf}, {1, 1, 4});
    auto probs = logits.softmax(-1);
    auto p = probs.scalars<float>();
    double e = std::exp(-2.0);
    EXPECT_NEAR(p[0], e / (2 + e), 1e-6);
    EXPECT_NEAR(p[1], 1 / (2 + e), 1e-6);
    EXPECT_EQ(p[3], 0.0f);
    auto best = logits.argmax(-1);
    EXPECT_EQ(best.shape(), (std::vector<int64_t>{1, 1}));
    EXPECT_EQ(best.scalars<int32_t>(), (std::vector<int32_t>{1}));  // tie between 1 and 2: lowest index
    auto logp = probs.gathering(best, -1).log();
    EXPECT_EQ(logp.shape(), (std::vector<int64_t>{1, 1}));
    EXPECT_NEAR(logp.scalars<float>()[0], std::log(1 / (2 + e)), 1e-6);

    // NaN is never the maximum; an all-masked row gives zero probabilities rather than NaN.
    EXPECT_EQ(MLTensor(std::vector<float>{std::nanf(""), 2, 5}, {3}).argmax().scalars<int32_t>()[0], 2);
    auto masked = MLTensor(std::vector<float>{-kInf, -kInf}, {2}).softmax().scalars<float>();
    EXPECT_EQ(masked, (std::vector<float>{0, 0}));
}

TEST(MLTensor, TopKCumulativeSumCompareAndArgsortPickACandidate) {
    MLTensor probs(std::vector<float>{0.1f, 0.4f, 0.1f, 0.4f, 0.0f}, {1, 1, 5});
    auto [values, indices] = probs.topK(3);
    EXPECT_EQ(values.shape(), (std::vector<int64_t>{1, 1, 3}));
    EXPECT_EQ(indices.scalars<int32_t>(), (std::vector<int32_t>{1, 3, 0}));  // ties in index order
    EXPECT_EQ(values.scalars<float>(), (std::vector<float>{0.4f, 0.4f, 0.1f}));

    auto total = values.sum();
    EXPECT_EQ(total.rank(), 0);
    EXPECT_NEAR(total.scalars<float>()[0], 0.9f, 1e-6);
    auto threshold = total * 0.5;  // 0.45
    auto c = values.cumulativeSum(-1);
    EXPECT_NEAR(c.scalars<float>()[1], 0.8f, 1e-6);
    auto pushed = c + c.lessThan(threshold).cast(MLTensorScalarType::float32) * 100.0;
    auto order = pushed.argsort(-1);
    EXPECT_EQ(order.scalars<int32_t>(), (std::vector<int32_t>{1, 2, 0}));
    auto sel = MLTensor(std::vector<int32_t>{order.scalars<int32_t>()[0]}, {1, 1});
    EXPECT_EQ(indices.gathering(sel, -1).scalars<int32_t>(), (std::vector<int32_t>{3}));

    EXPECT_THROW(probs.topK(0), MLTensorError);
    EXPECT_THROW(probs.topK(6), MLTensorError);
    EXPECT_EQ(MLTensor(std::vector<float>{3, 1, 2}, {3}).argsort(0, true).scalars<int32_t>(),
              (std::vector<int32_t>{0, 2, 1}));
}

TEST(MLTensor, ShapesBroadcastReduceAndGatherAlongInnerAxes) {
    MLTensor m(std::vector<float>{1, 2, 3, 4, 5, 6}, {2, 3});
    MLTensor row(std::vector<float>{10, 20, 30}, {3});
    EXPECT_EQ((m + row).scalars<float>(), (std::vector<float>{11, 22, 33, 14, 25, 36}));
    EXPECT_EQ(m.sum({0}).scalars<float>(), (std::vector<float>{5, 7, 9}));
    EXPECT_EQ(m.sum({-1}).scalars<float>(), (std::vector<float>{6, 15}));
    EXPECT_EQ(m.cumulativeSum(0).scalars<float>(), (std::vector<float>{1, 2, 3, 5, 7, 9}));
    EXPECT_EQ(m.argmax(0).scalars<int32_t>(), (std::vector<int32_t>{1, 1, 1}));
    MLTensor same(std::vector<int32_t>{2, 0}, {2, 1});
    EXPECT_EQ(m.gathering(same, 1).scalars<float>(), (std::vector<float>{3, 4}));
    EXPECT_THROW(m + MLTensor(std::vector<float>{1, 2}, {2}), MLTensorError);
    EXPECT_THROW(m.gathering(MLTensor(std::vector<int32_t>{3, 0}, {2}), 1), MLTensorError);
    EXPECT_THROW(m.gathering(MLTensor(std::vector<float>{0, 0}, {2}), 1), MLTensorError);
    EXPECT_THROW(m.softmax(2), MLTensorError);
}

TEST(MLTensor, KeepsTheElementTypeOfItsOperands) {
    MLTensor half(std::vector<Float16>{static_cast<Float16>(2048.0f), static_cast<Float16>(1.0f)}, {2});
    auto plusOne = half + 1.0;  // 2049 is not a half: rounds to even
    EXPECT_EQ(plusOne.scalarType(), MLTensorScalarType::float16);
    EXPECT_EQ(static_cast<float>(plusOne.scalars<Float16>()[0]), 2048.0f);
    EXPECT_EQ(half.cast(MLTensorScalarType::float32).scalars<float>(), (std::vector<float>{2048, 1}));
    MLTensor ints(std::vector<int32_t>{7, -7}, {2});
    EXPECT_EQ((ints / 2.0).scalars<int32_t>(), (std::vector<int32_t>{3, -3}));
    EXPECT_EQ(ints.greaterThan(0.0).scalars<bool>(), (std::vector<bool>{true, false}));
    EXPECT_THROW(ints.scalars<float>(), MLTensorError);
    EXPECT_EQ(scalarTypeName(MLTensorScalarType::bool_), "Bool");

    auto array = MLMultiArray::make({2}, MLMultiArrayDataType::float16);
    array->setValue(1, 0.5);
    MLTensor fromArray(*array);
    EXPECT_EQ(fromArray.scalarType(), MLTensorScalarType::float16);
    EXPECT_EQ(fromArray.scalarAt(1), 0.5);
    EXPECT_THROW(MLTensor(*MLMultiArray::make({1}, MLMultiArrayDataType::float64)), MLTensorError);
}
