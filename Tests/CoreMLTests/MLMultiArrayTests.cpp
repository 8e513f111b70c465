#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLFeatureProvider.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreML/MLShapedArray.hpp"

using namespace coreml;

TEST(MLMultiArray, IsZeroFilledRowMajorWithStridesAndCount) {
    auto a = MLMultiArray::make({2, 3, 4}, MLMultiArrayDataType::float32);
    EXPECT_EQ(a->shape(), (std::vector<int64_t>{2, 3, 4}));
    EXPECT_EQ(a->strides(), (std::vector<int64_t>{12, 4, 1}));
    EXPECT_EQ(a->count(), 24);
    EXPECT_EQ(a->byteCount(), 96u);
    for (int64_t i = 0; i < a->count(); ++i) EXPECT_EQ(a->value(i), 0.0);
    a->setValue({1, 2, 3}, 7.5);
    EXPECT_EQ(a->data<float>()[23], 7.5f);
    EXPECT_EQ(a->value({1, 2, 3}), 7.5);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a->dataPointer()) % 64, 0u);
}

TEST(MLMultiArray, ConvertsOnWriteByElementType) {
    struct Case {
        MLMultiArrayDataType type;
        double written;
        double read;
    };
    const Case cases[] = {
        // Half precision rounds to nearest even: 2049 lies halfway between 2048 and 2050.
        {MLMultiArrayDataType::float16, 2049.0, 2048.0},
        {MLMultiArrayDataType::float16, 2051.0, 2052.0},
        {MLMultiArrayDataType::float16, 1e6, std::numeric_limits<double>::infinity()},
        {MLMultiArrayDataType::float32, 0.1, static_cast<double>(0.1f)},
        {MLMultiArrayDataType::float64, 0.1, 0.1},
        {MLMultiArrayDataType::int32, -2.7, -2.0},
        {MLMultiArrayDataType::int32, 1e12, 2147483647.0},
        {MLMultiArrayDataType::int32, std::nan(""), 0.0},
        {MLMultiArrayDataType::int8, 300.0, 127.0},
        {MLMultiArrayDataType::int8, -300.0, -128.0},
    };
    for (const auto& c : cases) {
        auto a = MLMultiArray::make({1}, c.type);
        a->setValue(0, c.written);
        EXPECT_EQ(a->value(0), c.read) << dataTypeName(c.type) << " " << c.written;
    }
}

TEST(MLMultiArray, RejectsMisuseWithErrors) {
    auto a = MLMultiArray::make({2, 2}, MLMultiArrayDataType::int32);
    EXPECT_THROW(a->value(4), MLMultiArrayError);
    EXPECT_THROW(a->value(-1), MLMultiArrayError);
    EXPECT_THROW(a->setValue({2, 0}, 1), MLMultiArrayError);
    EXPECT_THROW(a->value(std::vector<int64_t>{0}), MLMultiArrayError);
    EXPECT_THROW(a->data<float>(), MLMultiArrayError);
    EXPECT_THROW(MLMultiArray::make({2, -1}, MLMultiArrayDataType::float32), MLModelError);
    EXPECT_THROW(MLMultiArray::make({1LL << 40, 1LL << 40}, MLMultiArrayDataType::float32), MLModelError);
}

TEST(MLMultiArray, IdentifiersAreUniqueAndCopiesAreDeep) {
    auto a = MLMultiArray::make({3}, MLMultiArrayDataType::float16);
    a->setValue(1, 1.5);
    auto b = a->copy();
    EXPECT_NE(a->identifier(), b->identifier());
    b->setValue(1, 2.5);
    EXPECT_EQ(a->value(1), 1.5);
    std::set<uint64_t> ids;
    for (int i = 0; i < 100; ++i) ids.insert(MLMultiArray::make({1}, MLMultiArrayDataType::int8)->identifier());
    EXPECT_EQ(ids.size(), 100u);
}

TEST(MLMultiArray, ConversionBetweenHalfAndSingleMatchesScalarRounding) {
    // 37 values so that both the eight-wide path and the tail run.
    std::vector<float> values;
    for (int i = 0; i < 37; ++i) values.push_back(std::ldexp(1.0f + i / 4096.0f, i % 20 - 10) * (i % 2 ? -1 : 1));
    values[5] = std::numeric_limits<float>::infinity();
    values[6] = 70000.0f;
    std::vector<Float16> halves(values.size());
    convertFloat32ToFloat16(values.data(), halves.data(), values.size());
    std::vector<float> back(values.size());
    convertFloat16ToFloat32(halves.data(), back.data(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(static_cast<float>(halves[i]), static_cast<float>(static_cast<Float16>(values[i]))) << i;
        EXPECT_EQ(back[i], static_cast<float>(halves[i])) << i;
    }

    auto single = MLMultiArray::make({37}, MLMultiArrayDataType::float32);
    std::memcpy(single->dataPointer(), values.data(), values.size() * 4);
    auto half = single->converted(MLMultiArrayDataType::float16);
    EXPECT_EQ(half->dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(std::memcmp(half->dataPointer(), halves.data(), halves.size() * 2), 0);
}

TEST(MLMultiArray, PixelBufferBackedArraySharesTheBuffer) {
    std::shared_ptr<corevideo::CVPixelBuffer> buffer;
    ASSERT_EQ(corevideo::CVPixelBuffer::create(nullptr, 8, 6, corevideo::kCVPixelFormatType_OneComponent16Half,
                                               {std::map<std::string, std::string>{}}, buffer),
              corevideo::kCVReturnSuccess);
    EXPECT_TRUE(buffer->isIOSurfaceBacked());
    auto a = MLMultiArray::make(buffer, {2, 3, 8});
    EXPECT_EQ(a->pixelBuffer(), buffer);
    EXPECT_EQ(a->dataPointer(), buffer->baseAddress());
    a->setValue(47, 3.0);
    EXPECT_EQ(static_cast<float>(static_cast<Float16*>(buffer->baseAddress())[47]), 3.0f);
    EXPECT_THROW(MLMultiArray::make(buffer, {6, 4}), MLModelError);
    buffer.reset();
    a->setValue(0, 1.0);  // the array keeps the buffer alive
    EXPECT_EQ(a->value(0), 1.0);
}

TEST(CVPixelBuffer, RefusesEmptyOrUnknownOrUnallocatable) {
    using namespace corevideo;
    struct Refusing : CVAllocator {
        std::shared_ptr<std::byte> allocate(size_t) override { return nullptr; }
    };
    std::shared_ptr<CVPixelBuffer> out;
    EXPECT_EQ(CVPixelBuffer::create(nullptr, 0, 1, kCVPixelFormatType_OneComponent16Half, {}, out), kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(nullptr, 1, 1, 0x12345678, {}, out), kCVReturnInvalidPixelFormat);
    EXPECT_EQ(CVPixelBuffer::create(nullptr, SIZE_MAX / 2, 4, kCVPixelFormatType_OneComponent16Half, {}, out),
              kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(std::make_shared<Refusing>(), 4, 4, kCVPixelFormatType_OneComponent16Half, {}, out),
              kCVReturnAllocationFailed);
    EXPECT_EQ(out, nullptr);
}

TEST(MLShapedArray, RoundTripsThroughMultiArraysAndConverts) {
    MLShapedArray<int32_t> ints(std::vector<int32_t>{1, 2, 3, 4, 5, 6}, {2, 3});
    auto array = makeMultiArray(ints);
    EXPECT_EQ(array->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(array->value({1, 0}), 4.0);
    EXPECT_EQ(MLShapedArray<int32_t>(*array), ints);

    auto single = MLMultiArray::make({2}, MLMultiArrayDataType::float32);
    single->setValue(0, 0.1);
    single->setValue(1, 2049);
    MLShapedArray<Float16> halves(*single);
    EXPECT_EQ(halves.shape(), (std::vector<int64_t>{2}));
    EXPECT_EQ(halves[0], static_cast<Float16>(0.1f));
    EXPECT_EQ(static_cast<float>(halves[1]), 2048.0f);
    EXPECT_THROW(halves[2], MLMultiArrayError);
    EXPECT_THROW(MLShapedArray<float>(std::vector<float>{1, 2, 3}, {2, 2}), MLMultiArrayError);
}

TEST(MLFeatureValue, ReportsItsTypeAndSharesArrays) {
    auto array = MLMultiArray::make({1}, MLMultiArrayDataType::float32);
    MLDictionaryFeatureProvider provider(std::map<std::string, MLFeatureValue>{
        {"a", MLFeatureValue(array)}, {"n", MLFeatureValue(int64_t{3})}, {"s", MLFeatureValue(std::string("x"))}});
    EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"a", "n", "s"}));
    EXPECT_EQ(provider.featureValue("a")->multiArrayValue(), array);
    EXPECT_EQ(provider.featureValue("n")->type(), MLFeatureType::int64);
    EXPECT_EQ(provider.featureValue("n")->multiArrayValue(), nullptr);
    EXPECT_EQ(provider.featureValue("s")->stringValue(), "x");
    EXPECT_FALSE(provider.featureValue("A").has_value());
    EXPECT_EQ(MLFeatureValue(std::shared_ptr<MLMultiArray>()).type(), MLFeatureType::invalid);
}
