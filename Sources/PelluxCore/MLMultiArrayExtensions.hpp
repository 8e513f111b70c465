#pragma once
// Creating, filling and addressing multi-arrays the way the engine's decoder and filters need.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreVideo/CVPixelBuffer.hpp"
#include "Platform/Foundation/Error.hpp"

namespace pellux {

class MLMultiArrayCreationError : public foundation::Error {
public:
    enum class Case { pixelBufferFailed };
    explicit MLMultiArrayCreationError(Case errorCase = Case::pixelBufferFailed) : case_(errorCase) { setWhat(describe()); }
    static MLMultiArrayCreationError pixelBufferFailed() { return MLMultiArrayCreationError(Case::pixelBufferFailed); }

    Case errorCase() const { return case_; }
    // "Failed to create IOSurface-backed pixel buffer for MLMultiArray"
    std::string localizedDescription() const override;
    // "pixelBufferFailed"
    std::string describe() const override;
    bool operator==(const MLMultiArrayCreationError& other) const { return case_ == other.case_; }

private:
    Case case_;
};

// A one-component half-float pixel buffer for a shape: width = the last dimension, height = the
// product of the others (1 for one dimension), surface-backed, default allocator. Nothing for an
// empty shape, a zero or negative dimension, an overflowing size or a refused allocation.
std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer(const std::vector<int64_t>& shape);

namespace detail {
std::shared_ptr<coreml::MLMultiArray> makeHalfPrecisionArray(const std::vector<int64_t>& shape);
}  // namespace detail

// A new array with every element set to `initialValue`, but only when the value's type is the array's
// element type (Float16, float, double, int32_t, int8_t); a value of another type (a double for a
// float32 array, say) leaves the array as created, zero-filled. Half-precision arrays are made over a
// pixel buffer and throw MLMultiArrayCreationError when none can be made; other types throw the
// runtime's creation error.
template <class T>
std::shared_ptr<coreml::MLMultiArray> makeMultiArray(const std::vector<int64_t>& shape,
                                                     coreml::MLMultiArrayDataType dataType, const T& initialValue) {
    using coreml::MLMultiArrayDataType;
    std::shared_ptr<coreml::MLMultiArray> array = dataType == MLMultiArrayDataType::float16
                                                      ? detail::makeHalfPrecisionArray(shape)
                                                      : coreml::MLMultiArray::make(shape, dataType);
    auto fillWith = [&](auto value) {
        using V = decltype(value);
        V* slots = static_cast<V*>(array->dataPointer());
        for (int64_t i = 0; i < array->count(); ++i) slots[i] = value;
    };
    if constexpr (std::is_same_v<T, coreml::Float16>) {
        if (dataType == MLMultiArrayDataType::float16) fillWith(initialValue);
    } else if constexpr (std::is_same_v<T, float>) {
        if (dataType == MLMultiArrayDataType::float32) fillWith(initialValue);
    } else if constexpr (std::is_same_v<T, double>) {
        if (dataType == MLMultiArrayDataType::float64) fillWith(initialValue);
    } else if constexpr (std::is_same_v<T, int32_t>) {
        if (dataType == MLMultiArrayDataType::int32) fillWith(initialValue);
    } else if constexpr (std::is_same_v<T, int8_t>) {
        if (dataType == MLMultiArrayDataType::int8) fillWith(initialValue);
    }
    return array;
}

// An Int32 array of shape [1, ..., 1, n] with `dims` entries holding the values in order. Throws
// coreml::MLMultiArrayError when dims is below 1 or a value does not fit in 32 bits.
std::shared_ptr<coreml::MLMultiArray> multiArrayFrom(const std::vector<int64_t>& values, int64_t dims);

// The sum of index[i] x stride[i] over the positions both lists have; the array's own strides when
// none are given.
int64_t linearOffset(const coreml::MLMultiArray& array, const std::vector<int64_t>& index,
                     const std::optional<std::vector<int64_t>>& strides = std::nullopt);

// Writes `value` at [0, 0, i] for i in [begin, end). The array must be Float16 of shape [1, 1, n] and
// the range inside [0, n]; otherwise coreml::MLMultiArrayError and nothing is written.
void fillLastDimension(coreml::MLMultiArray& array, int64_t begin, int64_t end, coreml::Float16 value);

namespace detail {
// Checks every tuple (at most rank entries, each inside its dimension) and returns their offsets;
// throws coreml::MLMultiArrayError for the first bad one.
std::vector<int64_t> checkedOffsets(const coreml::MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes);
}  // namespace detail

// Writes `value` at each index tuple. T must be the array's element type and every tuple inside the
// shape; otherwise coreml::MLMultiArrayError is thrown before anything is written.
template <class T>
void fill(coreml::MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes, const T& value) {
    T* data = array.data<T>();  // checks the element type
    for (int64_t offset : detail::checkedOffsets(array, indexes)) data[offset] = value;
}

}  // namespace pellux
