#pragma once
// An immutable tensor with the few operations token sampling uses. Every operation computes its result
// at once on the calling thread (no deferred work, nothing queued on a pool). Results follow the
// element type of the operand: Float16 results are rounded to half precision after each operation.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/CoreML/Float16.hpp"
#include "Platform/CoreML/MLModelError.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreML/MLShapedArray.hpp"

namespace coreml {

enum class MLTensorScalarType { float16, float32, int32, bool_ };

// The platform's names: "Float16", "Float", "Int32", "Bool".
std::string_view scalarTypeName(MLTensorScalarType type);

class MLTensorError : public foundation::RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

class MLTensor {
public:
    // Throw MLTensorError when the scalar count does not fill the shape.
    MLTensor(const std::vector<float>& scalars, std::vector<int64_t> shape);
    MLTensor(const std::vector<Float16>& scalars, std::vector<int64_t> shape);
    MLTensor(const std::vector<int32_t>& scalars, std::vector<int64_t> shape);
    // A Bool tensor (values are 0 or 1).
    static MLTensor booleans(const std::vector<bool>& scalars, std::vector<int64_t> shape);
    // A rank-0 tensor.
    static MLTensor scalar(float value, MLTensorScalarType type = MLTensorScalarType::float32);
    // The elements of a Float16, Float32 or Int32 multi-array (copied); MLTensorError for other types.
    explicit MLTensor(const MLMultiArray& array);
    template <class T>
    explicit MLTensor(const MLShapedArray<T>& shaped) : MLTensor(shaped.scalars(), shaped.shape()) {}

    const std::vector<int64_t>& shape() const { return shape_; }
    int64_t rank() const { return static_cast<int64_t>(shape_.size()); }
    int64_t scalarCount() const { return static_cast<int64_t>(values_.size()); }
    MLTensorScalarType scalarType() const { return type_; }

    // The elements in row-major order as T; MLTensorError when T is not the scalar type
    // (Float16, float, int32_t; Bool tensors read as bool).
    template <class T>
    std::vector<T> scalars() const;
    // Element i as a double (exact for every scalar type).
    double scalarAt(int64_t linearIndex) const;

    MLTensor cast(MLTensorScalarType type) const;

    // Element-wise arithmetic with broadcasting (shapes aligned from the right, dimensions of 1 stretch).
    // The result has the left operand's scalar type. MLTensorError when the shapes cannot broadcast.
    MLTensor operator+(const MLTensor& other) const;
    MLTensor operator-(const MLTensor& other) const;
    MLTensor operator*(const MLTensor& other) const;
    MLTensor operator/(const MLTensor& other) const;
    MLTensor operator+(double scalar) const;
    MLTensor operator-(double scalar) const;
    MLTensor operator*(double scalar) const;
    MLTensor operator/(double scalar) const;
    // Comparisons give Bool tensors.
    MLTensor lessThan(const MLTensor& other) const;
    MLTensor lessThan(double scalar) const;
    MLTensor greaterThan(const MLTensor& other) const;
    MLTensor greaterThan(double scalar) const;

    // Natural logarithm (log 0 = -inf).
    MLTensor log() const;
    // Softmax along an axis (negative counts from the end), computed stably; -inf entries give 0.
    MLTensor softmax(int64_t axis = -1) const;
    // Index of the largest element along an axis, rank reduced, Int32; ties and NaN go to the lowest
    // index (NaN is never chosen over a number).
    MLTensor argmax(int64_t axis = -1) const;
    // Sum of all elements as a rank-0 tensor, or along some axes (rank reduced).
    MLTensor sum() const;
    MLTensor sum(const std::vector<int64_t>& axes) const;
    // Running sum along an axis, same shape.
    MLTensor cumulativeSum(int64_t axis = -1) const;
    // The k largest elements along the last axis, descending, ties in index order; values keep the
    // scalar type, indices are Int32. MLTensorError when k is not in 1 ... the axis length.
    std::pair<MLTensor, MLTensor> topK(int64_t k) const;
    // Indices that sort along an axis (stable), Int32.
    MLTensor argsort(int64_t axis = -1, bool descendingOrder = false) const;
    // Picks along an axis by Int32 indices. The indices have either the same rank as this tensor
    // (result shape = the indices' shape) or one less, the axis removed (result shape = the indices'
    // shape, one element per position). Other dimensions must match. MLTensorError for an index
    // outside the axis or mismatching shapes.
    MLTensor gathering(const MLTensor& indices, int64_t axis = -1) const;

private:
    MLTensor() = default;
    static MLTensor make(std::vector<double> values, std::vector<int64_t> shape, MLTensorScalarType type);
    int64_t normalizedAxis(int64_t axis) const;
    std::vector<int64_t> shape_;
    std::vector<double> values_;
    MLTensorScalarType type_ = MLTensorScalarType::float32;
};

}  // namespace coreml

namespace coreml {
template <>
std::vector<Float16> MLTensor::scalars<Float16>() const;
template <>
std::vector<float> MLTensor::scalars<float>() const;
template <>
std::vector<int32_t> MLTensor::scalars<int32_t>() const;
template <>
std::vector<bool> MLTensor::scalars<bool>() const;
}  // namespace coreml
