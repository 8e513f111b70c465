#include "Platform/CoreML/MLMultiArray.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace coreml {

std::string_view dataTypeName(MLMultiArrayDataType dataType) {
    switch (dataType) {
        case MLMultiArrayDataType::float16: return "float16";
        case MLMultiArrayDataType::float32: return "float32";
        case MLMultiArrayDataType::float64: return "float64";
        case MLMultiArrayDataType::int32: return "int32";
        case MLMultiArrayDataType::int8: return "int8";
    }
    return "unknown";
}

std::optional<MLMultiArrayDataType> dataTypeNamed(std::string_view name) {
    for (auto t : {MLMultiArrayDataType::float16, MLMultiArrayDataType::float32, MLMultiArrayDataType::float64,
                   MLMultiArrayDataType::int32, MLMultiArrayDataType::int8})
        if (dataTypeName(t) == name) return t;
    return std::nullopt;
}

size_t elementSize(MLMultiArrayDataType dataType) {
    switch (dataType) {
        case MLMultiArrayDataType::float16: return 2;
        case MLMultiArrayDataType::float32: return 4;
        case MLMultiArrayDataType::float64: return 8;
        case MLMultiArrayDataType::int32: return 4;
        case MLMultiArrayDataType::int8: return 1;
    }
    return 1;
}

int64_t elementCount(const std::vector<int64_t>& shape) {
    int64_t count = 1;
    for (int64_t d : shape) {
        if (d < 0) throw MLMultiArrayError("Negative dimension " + std::to_string(d) + " in a shape");
        if (d != 0 && count > std::numeric_limits<int64_t>::max() / 8 / d)
            throw MLMultiArrayError("Shape too large");
        count *= d;
    }
    return count;
}

std::vector<int64_t> rowMajorStrides(const std::vector<int64_t>& shape) {
    std::vector<int64_t> strides(shape.size(), 1);
    int64_t stride = 1;
    for (size_t i = shape.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= shape[i] > 0 ? shape[i] : 1;
    }
    return strides;
}

namespace {

std::atomic<uint64_t> nextIdentifier{1};

template <class I>
I saturate(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    if (v <= static_cast<double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    return static_cast<I>(v);
}

double readElement(const void* data, MLMultiArrayDataType type, int64_t i) {
    switch (type) {
        case MLMultiArrayDataType::float16: return static_cast<double>(static_cast<const Float16*>(data)[i]);
        case MLMultiArrayDataType::float32: return static_cast<const float*>(data)[i];
        case MLMultiArrayDataType::float64: return static_cast<const double*>(data)[i];
        case MLMultiArrayDataType::int32: return static_cast<const int32_t*>(data)[i];
        case MLMultiArrayDataType::int8: return static_cast<const int8_t*>(data)[i];
    }
    return 0;
}

void writeElement(void* data, MLMultiArrayDataType type, int64_t i, double v) {
    switch (type) {
        case MLMultiArrayDataType::float16: static_cast<Float16*>(data)[i] = static_cast<Float16>(v); break;
        case MLMultiArrayDataType::float32: static_cast<float*>(data)[i] = static_cast<float>(v); break;
        case MLMultiArrayDataType::float64: static_cast<double*>(data)[i] = v; break;
        case MLMultiArrayDataType::int32: static_cast<int32_t*>(data)[i] = saturate<int32_t>(v); break;
        case MLMultiArrayDataType::int8: static_cast<int8_t*>(data)[i] = saturate<int8_t>(v); break;
    }
}

}  // namespace

std::shared_ptr<MLMultiArray> MLMultiArray::make(std::vector<int64_t> shape, MLMultiArrayDataType dataType) {
    int64_t count;
    try {
        count = elementCount(shape);
    } catch (const MLMultiArrayError& e) {
        throw MLModelError(MLModelError::Case::generic, std::string("Cannot create MLMultiArray: ") + e.what());
    }
    size_t bytes = static_cast<size_t>(count) * elementSize(dataType);
    size_t rounded = (bytes + 63) / 64 * 64;
    if (rounded == 0) rounded = 64;
    void* memory = std::aligned_alloc(64, rounded);
    if (!memory)
        throw MLModelError(MLModelError::Case::generic,
                           "Cannot create MLMultiArray: out of memory for " + std::to_string(bytes) + " bytes");
    std::memset(memory, 0, rounded);
    std::shared_ptr<void> owner(memory, [](void* p) { std::free(p); });
    return wrap(memory, std::move(shape), dataType, std::move(owner));
}

std::shared_ptr<MLMultiArray> MLMultiArray::make(std::shared_ptr<corevideo::CVPixelBuffer> pixelBuffer,
                                                 std::vector<int64_t> shape) {
    if (!pixelBuffer) throw MLModelError(MLModelError::Case::generic, "Cannot create MLMultiArray: no pixel buffer");
    if (pixelBuffer->pixelFormatType() != corevideo::kCVPixelFormatType_OneComponent16Half)
        throw MLModelError(MLModelError::Case::generic,
                           "Cannot create MLMultiArray: the pixel buffer is not one-component half float");
    int64_t count;
    try {
        count = elementCount(shape);
    } catch (const MLMultiArrayError& e) {
        throw MLModelError(MLModelError::Case::generic, std::string("Cannot create MLMultiArray: ") + e.what());
    }
    int64_t width = shape.empty() ? 0 : shape.back();
    int64_t height = shape.empty() || width == 0 ? 0 : count / width;
    if (shape.empty() || static_cast<size_t>(width) != pixelBuffer->width() ||
        static_cast<size_t>(height) != pixelBuffer->height() || pixelBuffer->bytesPerRow() != pixelBuffer->width() * 2)
        throw MLModelError(MLModelError::Case::generic,
                           "Cannot create MLMultiArray: the shape does not match the pixel buffer's size");
    std::shared_ptr<MLMultiArray> array(new MLMultiArray());
    array->strides_ = rowMajorStrides(shape);
    array->shape_ = std::move(shape);
    array->count_ = count;
    array->dataType_ = MLMultiArrayDataType::float16;
    array->data_ = pixelBuffer->baseAddress();
    array->pixelBuffer_ = std::move(pixelBuffer);
    array->identifier_ = nextIdentifier.fetch_add(1);
    return array;
}

std::shared_ptr<MLMultiArray> MLMultiArray::wrap(void* data, std::vector<int64_t> shape,
                                                 MLMultiArrayDataType dataType, std::shared_ptr<void> owner) {
    int64_t count = elementCount(shape);
    if (!data && count > 0) throw MLMultiArrayError("MLMultiArray::wrap: no data");
    std::shared_ptr<MLMultiArray> array(new MLMultiArray());
    array->strides_ = rowMajorStrides(shape);
    array->shape_ = std::move(shape);
    array->count_ = count;
    array->dataType_ = dataType;
    array->data_ = data;
    array->owner_ = std::move(owner);
    array->identifier_ = nextIdentifier.fetch_add(1);
    return array;
}

MLMultiArray::~MLMultiArray() = default;

std::shared_ptr<MLMultiArray> MLMultiArray::copy() const {
    auto result = make(shape_, dataType_);
    if (count_ > 0) std::memcpy(result->data_, data_, byteCount());
    return result;
}

std::shared_ptr<MLMultiArray> MLMultiArray::converted(MLMultiArrayDataType dataType) const {
    if (dataType == dataType_) return copy();
    auto result = make(shape_, dataType);
    size_t n = static_cast<size_t>(count_);
    if (dataType_ == MLMultiArrayDataType::float16 && dataType == MLMultiArrayDataType::float32) {
        convertFloat16ToFloat32(static_cast<const Float16*>(data_), static_cast<float*>(result->data_), n);
    } else if (dataType_ == MLMultiArrayDataType::float32 && dataType == MLMultiArrayDataType::float16) {
        convertFloat32ToFloat16(static_cast<const float*>(data_), static_cast<Float16*>(result->data_), n);
    } else {
        for (int64_t i = 0; i < count_; ++i) writeElement(result->data_, dataType, i, readElement(data_, dataType_, i));
    }
    return result;
}

void MLMultiArray::checkType(MLMultiArrayDataType expected) const {
    if (expected != dataType_)
        throw MLMultiArrayError("MLMultiArray holds " + std::string(dataTypeName(dataType_)) + ", not " +
                                std::string(dataTypeName(expected)));
}

int64_t MLMultiArray::offset(const std::vector<int64_t>& index) const {
    if (index.size() != shape_.size())
        throw MLMultiArrayError("Index of rank " + std::to_string(index.size()) + " for an array of rank " +
                                std::to_string(shape_.size()));
    int64_t result = 0;
    for (size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 0 || index[i] >= shape_[i])
            throw MLMultiArrayError("Index " + std::to_string(index[i]) + " outside dimension " + std::to_string(i) +
                                    " of size " + std::to_string(shape_[i]));
        result += index[i] * strides_[i];
    }
    return result;
}

double MLMultiArray::value(int64_t linearIndex) const {
    if (linearIndex < 0 || linearIndex >= count_)
        throw MLMultiArrayError("Index " + std::to_string(linearIndex) + " outside an array of " +
                                std::to_string(count_) + " elements");
    return readElement(data_, dataType_, linearIndex);
}

double MLMultiArray::value(const std::vector<int64_t>& index) const { return readElement(data_, dataType_, offset(index)); }

void MLMultiArray::setValue(int64_t linearIndex, double newValue) {
    if (linearIndex < 0 || linearIndex >= count_)
        throw MLMultiArrayError("Index " + std::to_string(linearIndex) + " outside an array of " +
                                std::to_string(count_) + " elements");
    writeElement(data_, dataType_, linearIndex, newValue);
}

void MLMultiArray::setValue(const std::vector<int64_t>& index, double newValue) {
    writeElement(data_, dataType_, offset(index), newValue);
}

std::vector<float> MLMultiArray::floatValues() const {
    std::vector<float> result(static_cast<size_t>(count_));
    if (dataType_ == MLMultiArrayDataType::float16)
        convertFloat16ToFloat32(static_cast<const Float16*>(data_), result.data(), result.size());
    else if (dataType_ == MLMultiArrayDataType::float32)
        std::memcpy(result.data(), data_, result.size() * 4);
    else
        for (int64_t i = 0; i < count_; ++i) result[static_cast<size_t>(i)] = static_cast<float>(readElement(data_, dataType_, i));
    return result;
}

}  // namespace coreml
