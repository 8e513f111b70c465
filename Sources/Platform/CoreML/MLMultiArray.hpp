#pragma once
// A multi-dimensional array of numbers: contiguous, row-major, one element type. A reference type:
// arrays travel as std::shared_ptr<MLMultiArray> and several holders see the same elements.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLModelError.hpp"
#include "Platform/CoreVideo/CVPixelBuffer.hpp"

namespace coreml {

enum class MLMultiArrayDataType { float16, float32, float64, int32, int8 };

// "float16", "float32", "float64", "int32", "int8" (the names model.json uses).
std::string_view dataTypeName(MLMultiArrayDataType dataType);
std::optional<MLMultiArrayDataType> dataTypeNamed(std::string_view name);
size_t elementSize(MLMultiArrayDataType dataType);

// The element type of a C++ scalar, for the typed accessors.
template <class T>
struct MLMultiArrayScalar;
template <>
struct MLMultiArrayScalar<Float16> { static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float16; };
template <>
struct MLMultiArrayScalar<float> { static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float32; };
template <>
struct MLMultiArrayScalar<double> { static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::float64; };
template <>
struct MLMultiArrayScalar<int32_t> { static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::int32; };
template <>
struct MLMultiArrayScalar<int8_t> { static constexpr MLMultiArrayDataType dataType = MLMultiArrayDataType::int8; };

// Element count of a shape; throws MLMultiArrayError for a negative dimension or an overflowing product.
int64_t elementCount(const std::vector<int64_t>& shape);
// Row-major strides (in elements) of a shape.
std::vector<int64_t> rowMajorStrides(const std::vector<int64_t>& shape);

class MLMultiArray {
public:
    // A new zero-filled array. Throws MLModelError(generic) for a negative dimension or a size
    // that cannot be allocated.
    static std::shared_ptr<MLMultiArray> make(std::vector<int64_t> shape, MLMultiArrayDataType dataType);
    // An array over a one-component half-float pixel buffer (shares its memory and keeps it alive).
    // The buffer's width must be the last dimension and its height the product of the others.
    static std::shared_ptr<MLMultiArray> make(std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer,
                                              std::vector<int64_t> shape);
    // An array over memory someone else owns; `owner` is kept alive as long as the array.
    static std::shared_ptr<MLMultiArray> wrap(void* data, std::vector<int64_t> shape, MLMultiArrayDataType dataType,
                                              std::shared_ptr<void> owner);
    // A deep copy (same shape and type, new storage, new identifier).
    std::shared_ptr<MLMultiArray> copy() const;
    // A new array of the same shape with every element converted to `dataType` (Float16 rounds to
    // nearest even; integers truncate toward zero and saturate; NaN becomes 0).
    std::shared_ptr<MLMultiArray> converted(MLMultiArrayDataType dataType) const;

    MLMultiArray(const MLMultiArray&) = delete;
    MLMultiArray& operator=(const MLMultiArray&) = delete;

    const std::vector<int64_t>& shape() const { return shape_; }
    const std::vector<int64_t>& strides() const { return strides_; }
    int64_t count() const { return count_; }
    MLMultiArrayDataType dataType() const { return dataType_; }
    size_t byteCount() const { return static_cast<size_t>(count_) * elementSize(dataType_); }
    void* dataPointer() { return data_; }
    const void* dataPointer() const { return data_; }
    // The pixel buffer behind a half-precision array made over one, else null.
    std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer() const { return pixelBuffer_; }
    // Unique for the life of the process; lets callers cache by identity.
    uint64_t identifier() const { return identifier_; }

    // Typed views; throw MLMultiArrayError when T is not the element type.
    template <class T>
    T* data() {
        checkType(MLMultiArrayScalar<T>::dataType);
        return static_cast<T*>(data_);
    }
    template <class T>
    const T* data() const {
        checkType(MLMultiArrayScalar<T>::dataType);
        return static_cast<const T*>(data_);
    }

    // Element access with numeric conversion, bounds-checked (MLMultiArrayError outside the array).
    // Writing rounds to nearest even for Float16, truncates toward zero and saturates for integers.
    // Note: a one-element braced index such as value({3}) picks the linear form; pass a
    // std::vector<int64_t> to address by index tuple.
    double value(int64_t linearIndex) const;
    double value(const std::vector<int64_t>& index) const;
    void setValue(int64_t linearIndex, double newValue);
    void setValue(const std::vector<int64_t>& index, double newValue);
    // The linear offset of a full index; throws MLMultiArrayError when it has the wrong rank or is outside.
    int64_t offset(const std::vector<int64_t>& index) const;

    // All elements converted to float (Float16 widened, integers converted).
    std::vector<float> floatValues() const;

    ~MLMultiArray();

private:
    MLMultiArray() = default;
    void checkType(MLMultiArrayDataType expected) const;

    std::vector<int64_t> shape_;
    std::vector<int64_t> strides_;
    int64_t count_ = 0;
    MLMultiArrayDataType dataType_ = MLMultiArrayDataType::float32;
    void* data_ = nullptr;
    std::shared_ptr<void> owner_;
    std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer_;
    uint64_t identifier_ = 0;
};

}  // namespace coreml
