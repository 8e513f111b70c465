#include "Platform/CoreML/MLTensor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace coreml {

std::string_view scalarTypeName(MLTensorScalarType type) {
    switch (type) {
        case MLTensorScalarType::float16: return "Float16";
        case MLTensorScalarType::float32: return "Float";
        case MLTensorScalarType::int32: return "Int32";
        case MLTensorScalarType::bool_: return "Bool";
    }
    return "Unknown";
}

namespace {

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

int64_t countOf(const std::vector<int64_t>& shape) {
    try {
        return elementCount(shape);
    } catch (const MLMultiArrayError& e) {
        throw MLTensorError(std::string("MLTensor: ") + e.what());
    }
}

double represent(double v, MLTensorScalarType type) {
    switch (type) {
        case MLTensorScalarType::float16: return static_cast<double>(static_cast<Float16>(v));
        case MLTensorScalarType::float32: return static_cast<double>(static_cast<float>(v));
        case MLTensorScalarType::int32:
            if (std::isnan(v)) return 0;
            if (v >= 2147483647.0) return 2147483647.0;
            if (v <= -2147483648.0) return -2147483648.0;
            return std::trunc(v);
        case MLTensorScalarType::bool_: return v != 0 ? 1 : 0;
    }
    return v;
}

// Splits a shape around an axis: outer x length x inner.
struct AxisSplit {
    int64_t outer = 1, length = 1, inner = 1;
};

AxisSplit split(const std::vector<int64_t>& shape, int64_t axis) {
    AxisSplit s;
    for (int64_t i = 0; i < axis; ++i) s.outer *= shape[static_cast<size_t>(i)];
    s.length = shape[static_cast<size_t>(axis)];
    for (size_t i = static_cast<size_t>(axis) + 1; i < shape.size(); ++i) s.inner *= shape[i];
    return s;
}

std::vector<int64_t> without(const std::vector<int64_t>& shape, int64_t axis) {
    auto result = shape;
    result.erase(result.begin() + axis);
    return result;
}

// NaN sorts after every number; ties keep index order.
bool greaterForRanking(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
}

bool lessForRanking(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

}  // namespace

MLTensor MLTensor::make(std::vector<double> values, std::vector<int64_t> shape, MLTensorScalarType type) {
    MLTensor t;
    for (auto& v : values) v = represent(v, type);
    t.values_ = std::move(values);
    t.shape_ = std::move(shape);
    t.type_ = type;
    return t;
}

MLTensor::MLTensor(const std::vector<float>& scalars, std::vector<int64_t> shape)
    : shape_(std::move(shape)), values_(scalars.begin(), scalars.end()), type_(MLTensorScalarType::float32) {
    if (countOf(shape_) != scalarCount()) throw MLTensorError("MLTensor: scalars do not fill shape " + shapeText(shape_));
}

MLTensor::MLTensor(const std::vector<Float16>& scalars, std::vector<int64_t> shape)
    : shape_(std::move(shape)), type_(MLTensorScalarType::float16) {
    values_.reserve(scalars.size());
    for (auto h : scalars) values_.push_back(static_cast<double>(h));
    if (countOf(shape_) != scalarCount()) throw MLTensorError("MLTensor: scalars do not fill shape " + shapeText(shape_));
}

MLTensor::MLTensor(const std::vector<int32_t>& scalars, std::vector<int64_t> shape)
    : shape_(std::move(shape)), values_(scalars.begin(), scalars.end()), type_(MLTensorScalarType::int32) {
    if (countOf(shape_) != scalarCount()) throw MLTensorError("MLTensor: scalars do not fill shape " + shapeText(shape_));
}

MLTensor MLTensor::booleans(const std::vector<bool>& scalars, std::vector<int64_t> shape) {
    if (countOf(shape) != static_cast<int64_t>(scalars.size()))
        throw MLTensorError("MLTensor: scalars do not fill shape " + shapeText(shape));
    std::vector<double> values(scalars.begin(), scalars.end());
    return make(std::move(values), std::move(shape), MLTensorScalarType::bool_);
}

MLTensor MLTensor::scalar(float value, MLTensorScalarType type) { return make({value}, {}, type); }

MLTensor::MLTensor(const MLMultiArray& array) : shape_(array.shape()) {
    switch (array.dataType()) {
        case MLMultiArrayDataType::float16: type_ = MLTensorScalarType::float16; break;
        case MLMultiArrayDataType::float32: type_ = MLTensorScalarType::float32; break;
        case MLMultiArrayDataType::int32: type_ = MLTensorScalarType::int32; break;
        default:
            throw MLTensorError("MLTensor: a multi-array of " + std::string(dataTypeName(array.dataType())) +
                                " cannot become a tensor");
    }
    values_.resize(static_cast<size_t>(array.count()));
    if (array.dataType() == MLMultiArrayDataType::float16) {
        std::vector<float> widened = array.floatValues();
        std::copy(widened.begin(), widened.end(), values_.begin());
    } else {
        for (int64_t i = 0; i < array.count(); ++i) values_[static_cast<size_t>(i)] = array.value(i);
    }
}

template <>
std::vector<Float16> MLTensor::scalars<Float16>() const {
    if (type_ != MLTensorScalarType::float16)
        throw MLTensorError("MLTensor holds " + std::string(scalarTypeName(type_)) + ", not Float16");
    std::vector<Float16> result;
    result.reserve(values_.size());
    for (double v : values_) result.push_back(static_cast<Float16>(v));
    return result;
}

template <>
std::vector<float> MLTensor::scalars<float>() const {
    if (type_ != MLTensorScalarType::float32)
        throw MLTensorError("MLTensor holds " + std::string(scalarTypeName(type_)) + ", not Float");
    return std::vector<float>(values_.begin(), values_.end());
}

template <>
std::vector<int32_t> MLTensor::scalars<int32_t>() const {
    if (type_ != MLTensorScalarType::int32)
        throw MLTensorError("MLTensor holds " + std::string(scalarTypeName(type_)) + ", not Int32");
    std::vector<int32_t> result;
    result.reserve(values_.size());
    for (double v : values_) result.push_back(static_cast<int32_t>(v));
    return result;
}

template <>
std::vector<bool> MLTensor::scalars<bool>() const {
    if (type_ != MLTensorScalarType::bool_)
        throw MLTensorError("MLTensor holds " + std::string(scalarTypeName(type_)) + ", not Bool");
    std::vector<bool> result;
    result.reserve(values_.size());
    for (double v : values_) result.push_back(v != 0);
    return result;
}

double MLTensor::scalarAt(int64_t linearIndex) const {
    if (linearIndex < 0 || linearIndex >= scalarCount()) throw MLTensorError("MLTensor: index out of range");
    return values_[static_cast<size_t>(linearIndex)];
}

int64_t MLTensor::normalizedAxis(int64_t axis) const {
    int64_t a = axis < 0 ? axis + rank() : axis;
    if (a < 0 || a >= rank())
        throw MLTensorError("MLTensor: axis " + std::to_string(axis) + " outside a tensor of rank " + std::to_string(rank()));
    return a;
}

MLTensor MLTensor::cast(MLTensorScalarType type) const { return make(values_, shape_, type); }

namespace {

template <class F>
void broadcast(const std::vector<int64_t>& leftShape, const std::vector<double>& left,
                   const std::vector<int64_t>& rightShape, const std::vector<double>& right, F op,
                   std::vector<double>& out, std::vector<int64_t>& outShape) {
    size_t rank = std::max(leftShape.size(), rightShape.size());
    outShape.assign(rank, 1);
    std::vector<int64_t> l(rank, 1), r(rank, 1);
    std::copy(leftShape.begin(), leftShape.end(), l.begin() + static_cast<int64_t>(rank - leftShape.size()));
    std::copy(rightShape.begin(), rightShape.end(), r.begin() + static_cast<int64_t>(rank - rightShape.size()));
    for (size_t i = 0; i < rank; ++i) {
        if (l[i] != r[i] && l[i] != 1 && r[i] != 1)
            throw MLTensorError("MLTensor: shapes " + shapeText(leftShape) + " and " + shapeText(rightShape) +
                                " cannot broadcast");
        outShape[i] = l[i] == 1 ? r[i] : l[i];
    }
    auto ls = rowMajorStrides(l), rs = rowMajorStrides(r);
    int64_t count = elementCount(outShape);
    out.resize(static_cast<size_t>(count));
    std::vector<int64_t> index(rank, 0);
    for (int64_t n = 0; n < count; ++n) {
        int64_t li = 0, ri = 0;
        for (size_t d = 0; d < rank; ++d) {
            if (l[d] != 1) li += index[d] * ls[d];
            if (r[d] != 1) ri += index[d] * rs[d];
        }
        out[static_cast<size_t>(n)] = op(left[static_cast<size_t>(li)], right[static_cast<size_t>(ri)]);
        for (size_t d = rank; d-- > 0;) {
            if (++index[d] < outShape[d]) break;
            index[d] = 0;
        }
    }
}

}  // namespace

#define QUORVEL_TENSOR_BINARY(NAME, EXPR, RESULT_TYPE)                                        \
    MLTensor MLTensor::NAME(const MLTensor& other) const {                                    \
        std::vector<double> out;                                                              \
        std::vector<int64_t> outShape;                                                        \
        broadcast(shape_, values_, other.shape_, other.values_, [](double a, double b) { return EXPR; }, out, \
                  outShape);                                                                  \
        return make(std::move(out), std::move(outShape), RESULT_TYPE);                        \
    }

QUORVEL_TENSOR_BINARY(operator+, a + b, type_)
QUORVEL_TENSOR_BINARY(operator-, a - b, type_)
QUORVEL_TENSOR_BINARY(operator*, a* b, type_)
QUORVEL_TENSOR_BINARY(operator/, a / b, type_)
QUORVEL_TENSOR_BINARY(lessThan, a < b ? 1.0 : 0.0, MLTensorScalarType::bool_)
QUORVEL_TENSOR_BINARY(greaterThan, a > b ? 1.0 : 0.0, MLTensorScalarType::bool_)
#undef QUORVEL_TENSOR_BINARY

MLTensor MLTensor::operator+(double s) const { return *this + make({s}, {}, MLTensorScalarType::float32); }
MLTensor MLTensor::operator-(double s) const { return *this - make({s}, {}, MLTensorScalarType::float32); }
MLTensor MLTensor::operator*(double s) const { return *this * make({s}, {}, MLTensorScalarType::float32); }
MLTensor MLTensor::operator/(double s) const { return *this / make({s}, {}, MLTensorScalarType::float32); }
MLTensor MLTensor::lessThan(double s) const { return lessThan(make({s}, {}, MLTensorScalarType::float32)); }
MLTensor MLTensor::greaterThan(double s) const { return greaterThan(make({s}, {}, MLTensorScalarType::float32)); }

MLTensor MLTensor::log() const {
    std::vector<double> out(values_.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = std::log(values_[i]);
    return make(std::move(out), shape_, type_ == MLTensorScalarType::float16 ? type_ : MLTensorScalarType::float32);
}

MLTensor MLTensor::softmax(int64_t axis) const {
    int64_t a = normalizedAxis(axis);
    auto s = split(shape_, a);
    std::vector<double> out(values_.size(), 0.0);
    for (int64_t o = 0; o < s.outer; ++o)
        for (int64_t k = 0; k < s.inner; ++k) {
            auto at = [&](int64_t i) { return static_cast<size_t>((o * s.length + i) * s.inner + k); };
            double m = -std::numeric_limits<double>::infinity();
            for (int64_t i = 0; i < s.length; ++i) m = std::max(m, values_[at(i)]);
            if (m == -std::numeric_limits<double>::infinity()) continue;  // every entry masked: all 0
            double total = 0;
            for (int64_t i = 0; i < s.length; ++i) {
                double v = values_[at(i)];
                double e = std::isinf(m) ? (v == m ? 1.0 : 0.0) : std::exp(v - m);
                out[at(i)] = e;
                total += e;
            }
            for (int64_t i = 0; i < s.length; ++i) out[at(i)] /= total;
        }
    return make(std::move(out), shape_, type_ == MLTensorScalarType::float16 ? type_ : MLTensorScalarType::float32);
}

MLTensor MLTensor::argmax(int64_t axis) const {
    int64_t a = normalizedAxis(axis);
    auto s = split(shape_, a);
    std::vector<double> out(static_cast<size_t>(s.outer * s.inner), 0.0);
    for (int64_t o = 0; o < s.outer; ++o)
        for (int64_t k = 0; k < s.inner; ++k) {
            int64_t best = 0;
            for (int64_t i = 1; i < s.length; ++i)
                if (greaterForRanking(values_[static_cast<size_t>((o * s.length + i) * s.inner + k)],
                                      values_[static_cast<size_t>((o * s.length + best) * s.inner + k)]))
                    best = i;
            out[static_cast<size_t>(o * s.inner + k)] = static_cast<double>(best);
        }
    return make(std::move(out), without(shape_, a), MLTensorScalarType::int32);
}

MLTensor MLTensor::sum() const {
    double total = std::accumulate(values_.begin(), values_.end(), 0.0);
    return make({total}, {}, type_ == MLTensorScalarType::bool_ ? MLTensorScalarType::int32 : type_);
}

MLTensor MLTensor::sum(const std::vector<int64_t>& axes) const {
    std::vector<int64_t> sorted;
    for (int64_t axis : axes) sorted.push_back(normalizedAxis(axis));
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    MLTensor current = *this;
    if (current.type_ == MLTensorScalarType::bool_) current.type_ = MLTensorScalarType::int32;
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
        auto s = split(current.shape_, *it);
        std::vector<double> out(static_cast<size_t>(s.outer * s.inner), 0.0);
        for (int64_t o = 0; o < s.outer; ++o)
            for (int64_t i = 0; i < s.length; ++i)
                for (int64_t k = 0; k < s.inner; ++k)
                    out[static_cast<size_t>(o * s.inner + k)] +=
                        current.values_[static_cast<size_t>((o * s.length + i) * s.inner + k)];
        current = make(std::move(out), without(current.shape_, *it), current.type_);
    }
    return current;
}

MLTensor MLTensor::cumulativeSum(int64_t axis) const {
    int64_t a = normalizedAxis(axis);
    auto s = split(shape_, a);
    std::vector<double> out(values_.size());
    for (int64_t o = 0; o < s.outer; ++o)
        for (int64_t k = 0; k < s.inner; ++k) {
            double running = 0;
            for (int64_t i = 0; i < s.length; ++i) {
                size_t at = static_cast<size_t>((o * s.length + i) * s.inner + k);
                running = represent(running + values_[at], type_ == MLTensorScalarType::bool_ ? MLTensorScalarType::int32 : type_);
                out[at] = running;
            }
        }
    return make(std::move(out), shape_, type_ == MLTensorScalarType::bool_ ? MLTensorScalarType::int32 : type_);
}

std::pair<MLTensor, MLTensor> MLTensor::topK(int64_t k) const {
    if (rank() == 0) throw MLTensorError("MLTensor: topK of a rank-0 tensor");
    int64_t length = shape_.back();
    if (k < 1 || k > length)
        throw MLTensorError("MLTensor: topK with k = " + std::to_string(k) + " over a last axis of " +
                            std::to_string(length));
    int64_t rows = length == 0 ? 0 : scalarCount() / length;
    std::vector<double> values, indices;
    values.reserve(static_cast<size_t>(rows * k));
    indices.reserve(static_cast<size_t>(rows * k));
    std::vector<int64_t> order(static_cast<size_t>(length));
    for (int64_t r = 0; r < rows; ++r) {
        const double* row = values_.data() + r * length;
        std::iota(order.begin(), order.end(), 0);
        std::partial_sort(order.begin(), order.begin() + k, order.end(), [&](int64_t x, int64_t y) {
            if (greaterForRanking(row[x], row[y])) return true;
            if (greaterForRanking(row[y], row[x])) return false;
            return x < y;
        });
        for (int64_t i = 0; i < k; ++i) {
            values.push_back(row[order[static_cast<size_t>(i)]]);
            indices.push_back(static_cast<double>(order[static_cast<size_t>(i)]));
        }
    }
    auto outShape = shape_;
    outShape.back() = k;
    return {make(std::move(values), outShape, type_), make(std::move(indices), outShape, MLTensorScalarType::int32)};
}

MLTensor MLTensor::argsort(int64_t axis, bool descendingOrder) const {
    int64_t a = normalizedAxis(axis);
    auto s = split(shape_, a);
    std::vector<double> out(values_.size());
    std::vector<int64_t> order(static_cast<size_t>(s.length));
    for (int64_t o = 0; o < s.outer; ++o)
        for (int64_t k = 0; k < s.inner; ++k) {
            auto at = [&](int64_t i) { return values_[static_cast<size_t>((o * s.length + i) * s.inner + k)]; };
            std::iota(order.begin(), order.end(), 0);
            std::stable_sort(order.begin(), order.end(), [&](int64_t x, int64_t y) {
                return descendingOrder ? greaterForRanking(at(x), at(y)) : lessForRanking(at(x), at(y));
            });
            for (int64_t i = 0; i < s.length; ++i)
                out[static_cast<size_t>((o * s.length + i) * s.inner + k)] = static_cast<double>(order[static_cast<size_t>(i)]);
        }
    return make(std::move(out), shape_, MLTensorScalarType::int32);
}

MLTensor MLTensor::gathering(const MLTensor& indices, int64_t axis) const {
    int64_t a = normalizedAxis(axis);
    if (indices.type_ != MLTensorScalarType::int32)
        throw MLTensorError("MLTensor: gathering needs Int32 indices, not " + std::string(scalarTypeName(indices.type_)));
    bool sameRank = indices.rank() == rank();
    bool reduced = indices.rank() + 1 == rank();
    if (!sameRank && !reduced)
        throw MLTensorError("MLTensor: gathering indices of shape " + shapeText(indices.shape_) + " from shape " +
                            shapeText(shape_));
    for (int64_t d = 0, id = 0; d < rank(); ++d) {
        if (d == a) {
            if (sameRank) ++id;
            continue;
        }
        if (indices.shape_[static_cast<size_t>(id)] != shape_[static_cast<size_t>(d)])
            throw MLTensorError("MLTensor: gathering indices of shape " + shapeText(indices.shape_) + " from shape " +
                                shapeText(shape_));
        ++id;
    }
    auto strides = rowMajorStrides(shape_);
    int64_t count = indices.scalarCount();
    std::vector<double> out(static_cast<size_t>(count));
    std::vector<int64_t> index(indices.shape_.size(), 0);
    for (int64_t n = 0; n < count; ++n) {
        int64_t picked = static_cast<int64_t>(indices.values_[static_cast<size_t>(n)]);
        if (picked < 0 || picked >= shape_[static_cast<size_t>(a)])
            throw MLTensorError("MLTensor: gathering index " + std::to_string(picked) + " outside an axis of " +
                                std::to_string(shape_[static_cast<size_t>(a)]));
        int64_t offset = 0;
        for (int64_t d = 0, id = 0; d < rank(); ++d) {
            if (d == a) {
                offset += picked * strides[static_cast<size_t>(d)];
                if (sameRank) ++id;
                continue;
            }
            offset += index[static_cast<size_t>(id)] * strides[static_cast<size_t>(d)];
            ++id;
        }
        out[static_cast<size_t>(n)] = values_[static_cast<size_t>(offset)];
        for (size_t d = index.size(); d-- > 0;) {
            if (++index[d] < indices.shape_[d]) break;
            index[d] = 0;
        }
    }
    return make(std::move(out), indices.shape_, type_);
}

}  // namespace coreml
