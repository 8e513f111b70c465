#pragma once
// A value-type multi-dimensional array of one scalar type (Float16, float or int32_t), row-major.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform/CoreML/MLMultiArray.hpp"

namespace coreml {

template <class T>
class MLShapedArray {
    static_assert(std::is_same_v<T, Float16> || std::is_same_v<T, float> || std::is_same_v<T, int32_t>,
                  "MLShapedArray holds Float16, float or int32_t");

public:
    MLShapedArray() = default;
    // Throws MLMultiArrayError when the scalar count does not match the shape.
    MLShapedArray(std::vector<T> scalars, std::vector<int64_t> shape) : scalars_(std::move(scalars)), shape_(std::move(shape)) {
        if (elementCount(shape_) != static_cast<int64_t>(scalars_.size()))
            throw MLMultiArrayError("MLShapedArray: " + std::to_string(scalars_.size()) +
                                    " scalars do not fill the shape");
    }
    MLShapedArray(T repeating, std::vector<int64_t> shape)
        : scalars_(static_cast<size_t>(elementCount(shape)), repeating), shape_(std::move(shape)) {}
    // The elements of a multi-array, converted to T.
    explicit MLShapedArray(const MLMultiArray& array) : shape_(array.shape()) {
        scalars_.resize(static_cast<size_t>(array.count()));
        if (array.dataType() == MLMultiArrayScalar<T>::dataType) {
            const T* source = array.data<T>();
            std::copy(source, source + array.count(), scalars_.begin());
        } else {
            for (int64_t i = 0; i < array.count(); ++i) scalars_[static_cast<size_t>(i)] = convert(array.value(i));
        }
    }

    const std::vector<int64_t>& shape() const { return shape_; }
    std::vector<int64_t> strides() const { return rowMajorStrides(shape_); }
    int64_t count() const { return static_cast<int64_t>(scalars_.size()); }
    const std::vector<T>& scalars() const { return scalars_; }
    std::vector<T>& scalars() { return scalars_; }
    // Bounds-checked element at a linear index.
    T operator[](int64_t linearIndex) const {
        if (linearIndex < 0 || linearIndex >= count()) throw MLMultiArrayError("MLShapedArray: index out of range");
        return scalars_[static_cast<size_t>(linearIndex)];
    }

    bool operator==(const MLShapedArray& other) const { return shape_ == other.shape_ && scalars_ == other.scalars_; }

private:
    static T convert(double v) {
        if constexpr (std::is_same_v<T, int32_t>) {
            if (!(v == v)) return 0;
            if (v >= 2147483647.0) return INT32_MAX;
            if (v <= -2147483648.0) return INT32_MIN;
            return static_cast<int32_t>(v);
        } else {
            return static_cast<T>(v);
        }
    }
    std::vector<T> scalars_;
    std::vector<int64_t> shape_;
};

// A new multi-array of the shaped array's shape and element type, holding its scalars.
template <class T>
std::shared_ptr<MLMultiArray> makeMultiArray(const MLShapedArray<T>& shaped) {
    auto array = MLMultiArray::make(shaped.shape(), MLMultiArrayScalar<T>::dataType);
    std::copy(shaped.scalars().begin(), shaped.scalars().end(), array->template data<T>());
    return array;
}

}  // namespace coreml
